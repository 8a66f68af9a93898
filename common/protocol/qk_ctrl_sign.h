// The signed form of the control records, their ECDSA signatures over SHA-384, and the
// bounded string fields.
//
// A record is signed over a copy of itself in which the signature, the padding after it and
// the signature size (bytes 0..95) are zero, and for SQKSrvSCtrl the padding at 618..619 too;
// every other byte is signed as it stands, string bytes after a terminator included. The
// padding at 90..91 is therefore free, and a changed byte anywhere in a field is caught.
#pragma once

#include <Poco/DigestEngine.h>
#include <Poco/Exception.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "base/qk_bounded.h"
#include "protocol/SQKClnSCtrl.h"
#include "protocol/SQKSrvSCtrl.h"

// The largest signature a record carries (the width of m_sign).
constexpr std::size_t QK_CTRL_SIGN_MAX = 90;

std::vector<unsigned char> qk_ctrl_signed_form(const SQKSrvSCtrl& ctrl);
std::vector<unsigned char> qk_ctrl_signed_form(const SQKClnSCtrl& ctrl);

// The DER signature of form, made with the private key at key_fpath (cert_fpath is given as
// the public-key file, the pass phrase is empty). The key is loaded anew on every call.
// Throws the Poco::Crypto exceptions of an unreadable key.
Poco::DigestEngine::Digest qk_ctrl_sign(const std::vector<unsigned char>& form,
                                        const std::string& cert_fpath,
                                        const std::string& key_fpath);

// True when the size bytes at sign are a valid signature of form by the key of the X.509
// certificate at cert_fpath (loaded anew on every call). The caller keeps size within the
// record's m_sign. Throws the Poco::Crypto exceptions of an unreadable certificate.
bool qk_ctrl_verify(const std::vector<unsigned char>& form, const unsigned char* sign,
                    std::size_t size, const std::string& cert_fpath);

// Stores sign in m_sign (the rest zeroed) and its length in m_sign_size. A signature longer
// than QK_CTRL_SIGN_MAX throws Poco::Crypto::CryptoException and leaves the record as it was:
// a cut signature is never sent.
void qk_ctrl_put_sign(SQKSrvSCtrl& ctrl, const Poco::DigestEngine::Digest& sign);
void qk_ctrl_put_sign(SQKClnSCtrl& ctrl, const Poco::DigestEngine::Digest& sign);

// Copies at most N - 1 bytes of value and a terminator into field, which must be all zero
// before (records start zero-filled), so the bytes after the terminator stay zero.
template <std::size_t N>
void qk_ctrl_set_string(char (&field)[N], const std::string& value) {
    static_assert(N > 1, "a string field holds at least its terminator");
    // Cannot fail: distinct buffers, and N - 1 bytes always leave room for the terminator.
    qk_strncpy_s_a(field, N, value.c_str(), N - 1);
}

// The value of field up to its terminator. A field without one inside it comes from a
// broken or hostile peer: Poco::DataFormatException "String field without terminator: "
// + name. Never reads past the field.
template <std::size_t N>
std::string qk_ctrl_get_string(const char (&field)[N], const char* name) {
    const void* terminator = std::memchr(field, 0, N);
    if (terminator == nullptr)
        throw Poco::DataFormatException(std::string("String field without terminator: ") + name);
    return std::string(field, static_cast<const char*>(terminator));
}
