// The string fields of a received control record, as the configuration file can store them.
#pragma once

#include <cstddef>
#include <string>

#include "protocol/qk_ctrl_sign.h"

// Throws Poco::DataFormatException "Value can't be stored in the configuration: " + name
// unless value is valid UTF-8 without control characters: an XML configuration file
// cannot hold those (or changes them on reading), and a service whose file no longer loads
// cannot start.
void qk_ctrl_check_storable(const std::string& value, const char* name);

// The value of a received string field up to its terminator (Poco::DataFormatException
// when it has none), checked with qk_ctrl_check_storable.
template <std::size_t N>
std::string qk_ctrl_received_string(const char (&field)[N], const char* name) {
    std::string value = qk_ctrl_get_string(field, name);
    qk_ctrl_check_storable(value, name);
    return value;
}
