// The control program's side of the control protocol for tests, written from the byte
// layout of the records alone (fields at their offsets, little-endian integers, its own
// signing), so that it checks the services' side independently of their record structs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "RawClient.h"

class CtrlPeer {
public:
    using Bytes = std::vector<std::uint8_t>;

    struct Field {
        std::size_t offset;
        std::size_t width;
    };
    // The server service's record, 628 bytes.
    struct Srv {
        static constexpr std::size_t kSize = 628;
        static constexpr Field kInDir{96, 261}, kBackDir{357, 261};
        static constexpr std::size_t kPort = 620, kSslPort = 624;
    };
    // The client service's record, 1020 bytes.
    struct Cln {
        static constexpr std::size_t kSize = 1020;
        static constexpr Field kOutDir{96, 261}, kBackDir{357, 261}, kFilePath{618, 261},
            kSrvAddress{879, 129};
        static constexpr std::size_t kSrvPort = 1008, kUseSsl = 1012, kSubDirs = 1016;
    };
    static constexpr std::size_t kSign = 0, kSignWidth = 90, kSignSize = 92;

    // Fields of a record image.
    static void putString(Bytes& record, Field field, const std::string& value);
    static std::string getString(const Bytes& record, Field field);  // up to the terminator
    static void putInt(Bytes& record, std::size_t offset, std::int32_t value);
    static std::int32_t getInt(const Bytes& record, std::size_t offset);

    // Signs the record (628 or 1020 bytes) with the key at key_fpath, as the control program
    // does, and stores the signature and its size. Returns the signature's length.
    static std::size_t sign(Bytes& record, const std::string& cert_fpath,
                            const std::string& key_fpath);
    // True when the record's signature verifies with the certificate.
    static bool verify(const Bytes& record, const std::string& cert_fpath);

    // Connects to 127.0.0.1:port, from local_host when one is given.
    explicit CtrlPeer(std::uint16_t port, const std::string& local_host = "");

    // A read exchange: greeting, 0x05, the record (fewer bytes when the service sends fewer),
    // then verdict as the control program's status. final_status gets the service's last
    // byte (or RawClient::kClosed / kTimedOut).
    Bytes read(std::size_t size, std::uint8_t verdict, int* final_status);
    // An apply exchange: greeting, 0x06, its 0x00, the record; returns the final status (or
    // RawClient::kClosed when the service closed without one). -100 when a status before the
    // record was not 0x00.
    int apply(const Bytes& record);

    RawClient& raw() { return m_client; }

private:
    static Bytes signedForm(const Bytes& record);

    RawClient m_client;
};
