#include "qk_keys_tree.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <utility>

std::string qk_ca_dir(const std::string& root) {
    return root + "ca/";
}

std::string qk_common_keys_dir(const std::string& root) {
    return root + "common/keys/";
}

std::string qk_program_keys_dir(const std::string& root, const std::string& program) {
    return root + program + "/keys/";
}

void qk_make_key_directory(const std::string& dir) {
    Poco::File(dir).createDirectories();
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Poco::FileExistsException(dir, "not a directory");
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw Poco::FileAccessDeniedException(dir, "cannot write into this directory");
}

void qk_share_with_operators(const std::string& key_fpath) {
    const struct group* operators = ::getgrnam(QK_OPERATORS_GROUP);
    if (operators == nullptr)
        return;
    if (::chown(key_fpath.c_str(), static_cast<uid_t>(-1), operators->gr_gid) != 0 ||
        ::chmod(key_fpath.c_str(), 0640) != 0) {
        throw Poco::FileAccessDeniedException("Cannot give the group " +
                                                  std::string(QK_OPERATORS_GROUP) +
                                                  " read access to " + key_fpath,
                                              std::strerror(errno));
    }
}

void qk_give_to_service_account(const std::string& key_fpath) {
    static const std::pair<const char*, const char*> kAccounts[] = {
        {"qk_relay_srvsvc", "qkrelay-srv"}, {"qk_relay_clnsvc", "qkrelay-cln"}};
    const Poco::Path path(key_fpath);
    if (path.getExtension() != "key" || path.depth() < 2 ||
        path.directory(path.depth() - 1) != "keys")
        return;
    const std::string program = path.directory(path.depth() - 2);
    for (const auto& [service, account] : kAccounts) {
        if (program != service)
            continue;
        const struct passwd* owner = ::getpwnam(account);
        if (owner == nullptr)
            return;
        if (::chown(key_fpath.c_str(), owner->pw_uid, static_cast<gid_t>(-1)) != 0)
            throw Poco::FileAccessDeniedException(
                "Cannot give " + key_fpath + " to the account " + account, std::strerror(errno));
    }
}

void qk_print_written(const std::string& fpath) {
    std::cout << "  wrote " << fpath << '\n';
}
