// qk_relay_keys [--prefix=DIR] [--force] [--days=N] [--help]
#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>

#include <exception>
#include <iostream>

#include "CQKKeyMakerAppl.h"

int main(int argc, char** argv) {
    try {
        Poco::AutoPtr<CQKKeyMakerAppl> app = new CQKKeyMakerAppl;
        try {
            app->init(argc, argv);
        } catch (const Poco::Exception& e) {
            // Option errors: unknown option, missing or unexpected argument, bad value.
            std::cerr << "qk_relay_keys: " << e.displayText() << " (see --help)" << std::endl;
            return Poco::Util::Application::EXIT_USAGE;
        }
        return app->run();
    } catch (const std::exception& e) {
        std::cerr << "qk_relay_keys: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "qk_relay_keys: unexpected failure" << std::endl;
    }
    return Poco::Util::Application::EXIT_SOFTWARE;
}
