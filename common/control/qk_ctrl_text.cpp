// Checks of received text before it reaches the configuration.
#include "control/qk_ctrl_text.h"

#include <Poco/Exception.h>
#include <Poco/UTF8Encoding.h>

namespace {

// Characters an XML 1.0 document cannot carry, and the controls it would normalise.
bool storable(int code_point) {
    return code_point >= 0x20 && code_point != 0x7F &&
           !(code_point >= 0xD800 && code_point <= 0xDFFF) && code_point != 0xFFFE &&
           code_point != 0xFFFF;
}

}  // namespace

void qk_ctrl_check_storable(const std::string& value, const char* name) {
    static const Poco::UTF8Encoding utf8;
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    const std::size_t size = value.size();
    for (std::size_t i = 0; i < size;) {
        const int lead = utf8.characterMap()[bytes[i]];
        const std::size_t length = lead < -1 ? static_cast<std::size_t>(-lead) : 1;
        const bool legal = lead != -1 && i + length <= size &&
                           Poco::UTF8Encoding::isLegal(bytes + i, static_cast<int>(length));
        if (!legal || !storable(lead >= 0 ? lead : utf8.convert(bytes + i))) {
            throw Poco::DataFormatException(
                std::string("Value can't be stored in the configuration: ") + name);
        }
        i += length;
    }
}
