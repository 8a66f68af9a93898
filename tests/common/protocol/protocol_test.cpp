// Header record layout and reading, code names, CRC-32 and the protocol exceptions.
#include <gtest/gtest.h>

#include <Poco/Checksum.h>

#include <array>
#include <cstring>
#include <vector>

#include "protocol/qk_exceptions.h"
#include "protocol/qk_protocol.h"

namespace {

std::vector<std::uint8_t> build(const QKRelayHeader& header,
                                std::size_t capacity = QK_BUFFER_SIZE) {
    std::vector<std::uint8_t> buffer(capacity, 0xAA);
    buffer.resize(qk_build_header(buffer.data(), buffer.size(), header));
    return buffer;
}

}  // namespace

TEST(RelayHeader, ThreeByteNameAtTopHasDocumentedLayout) {
    std::vector<std::uint8_t> record = build({7, "abc", ""});
    ASSERT_EQ(record.size(), 29u);  // the header frame is 30 bytes with its code byte
    EXPECT_EQ(record[0] | (record[1] << 8), 29);
    EXPECT_EQ(record[8], 7);
    EXPECT_EQ(record[16] | (record[17] << 8), 4);  // name_size counts the terminator
    EXPECT_EQ(std::memcmp(record.data() + 18, "abc\0\0", 5), 0);
}

TEST(RelayHeader, RoundTripsNamesSizesAndSubDirectories) {
    const QKRelayHeader cases[] = {
        {0, "empty.bin", ""},
        {1, "a", "x"},
        {0x1122334455667788ull, "big.dat", "a\\b\\c"},
        {65536, "Ünïcödé.txt", "dir/ß"},
    };
    for (const QKRelayHeader& sent : cases) {
        std::vector<std::uint8_t> record = build(sent);
        QKRelayHeader read;
        ASSERT_TRUE(qk_read_header(record.data(), record.size(), read)) << sent.file_name;
        EXPECT_EQ(read.file_size, sent.file_size);
        EXPECT_EQ(read.file_name, sent.file_name);
        EXPECT_EQ(read.sub_dir, sent.sub_dir);
    }
}

TEST(RelayHeader, RefusesRecordsThatDoNotFit) {
    std::string longest_dir(65535 - 25 - 2, 'd');  // the largest record with a one-byte name
    std::vector<std::uint8_t> buffer(QK_BUFFER_SIZE);
    EXPECT_EQ(qk_build_header(buffer.data(), buffer.size(), {0, "n", longest_dir}), 65535u);
    try {
        qk_build_header(buffer.data(), buffer.size(), {0, "n", longest_dir + "d"});
        FAIL() << "a record above 65535 bytes was built";
    } catch (const Poco::Exception& e) {
        EXPECT_EQ(e.message(),
                  "Error size of buffer, allocated for QKRelayHeader: buff_size =  65536 "
                  "total_size = 65536");
    }
    EXPECT_THROW(qk_build_header(buffer.data(), 28, {0, "abc", ""}), Poco::Exception);
}

// Every way a record can end before its strings do must be refused without reading past
// the given length (run under a sanitizer to see the reads).
TEST(RelayHeader, RefusesRecordsWhoseStringsLeaveTheFrame) {
    std::vector<std::uint8_t> good = build({3, "abc", "sub"});
    QKRelayHeader out;
    for (std::size_t cut = 0; cut < 18 + 4 + 4; ++cut) {
        std::vector<std::uint8_t> truncated(good.begin(), good.begin() + cut);
        EXPECT_FALSE(qk_read_header(truncated.data(), truncated.size(), out)) << "cut " << cut;
    }
    EXPECT_TRUE(qk_read_header(good.data(), 18 + 4 + 4, out));  // padding is optional

    std::vector<std::uint8_t> zero_name_size = good;
    zero_name_size[16] = zero_name_size[17] = 0;
    EXPECT_FALSE(qk_read_header(zero_name_size.data(), zero_name_size.size(), out));

    std::vector<std::uint8_t> huge_name_size = good;
    huge_name_size[16] = huge_name_size[17] = 0xFF;
    EXPECT_FALSE(qk_read_header(huge_name_size.data(), huge_name_size.size(), out));

    std::vector<std::uint8_t> name_runs_into_sub_dir = good;
    name_runs_into_sub_dir[16] = 2;  // the name's terminator now lies beyond its field
    EXPECT_FALSE(qk_read_header(name_runs_into_sub_dir.data(), name_runs_into_sub_dir.size(), out));
}

TEST(ProtocolCodes, NamesFollowTheCodeTable) {
    EXPECT_STREQ(qk_code_name(0x00), "QK_SEND_FILE_FOK");
    EXPECT_STREQ(qk_code_name(0x01), "QK_FILE_SEND_FHEADER");
    EXPECT_STREQ(qk_code_name(0x04), "QK_SEND_FILE_FFINISHED_ALL");
    EXPECT_STREQ(qk_code_name(0x0F), "QK_FILE_SEND_FNO_STATUS");
    EXPECT_STREQ(qk_code_name(0x7F), "QK_SEND_FILE_FERROR");
    EXPECT_STREQ(qk_code_name(0x80), "UNKNOWN");
    EXPECT_STREQ(qk_code_name(0x07), "UNKNOWN");
}

TEST(ProtocolChecksum, IsTheStandardCrc32) {
    Poco::Checksum empty(Poco::Checksum::TYPE_CRC32);
    EXPECT_EQ(empty.checksum(), 0u);
    Poco::Checksum crc(Poco::Checksum::TYPE_CRC32);
    crc.update("12345", 5);
    crc.update("6789", 4);  // fed piece by piece as the data arrive
    EXPECT_EQ(crc.checksum(), 0xCBF43926u);

    std::array<std::uint8_t, 4> wire{};
    qk_put_u32(wire.data(), 0xCBF43926u);
    EXPECT_EQ(wire[0], 0x26);
    EXPECT_EQ(qk_get_u32(wire.data()), 0xCBF43926u);
}

TEST(ProtocolExceptions, CarryTheirNamesAndBases) {
    try {
        throw SockReadStatusException("Error receiving of the status...");
    } catch (const Poco::Net::NetException& e) {
        EXPECT_STREQ(e.name(), "Sock Read Status Exception");
        EXPECT_EQ(e.displayText(), "Sock Read Status Exception: Error receiving of the status...");
        std::unique_ptr<Poco::Exception> copy(e.clone());
        EXPECT_THROW(copy->rethrow(), SockReadStatusException);
    }
    EXPECT_STREQ(ReceivingStatusException("x").name(), "Receiving Status Exception");
    EXPECT_STREQ(SendingDataException("x").name(), "Sending Data Exception");
    EXPECT_STREQ(FileIsReceivingAlready("x").name(), "File is Receiving Already");
    EXPECT_STREQ(SockWriteStatusException("x").name(), "Sock Write Status Exception");
    // Reports name the class readably, not as the compiler mangles it.
    EXPECT_EQ(qk_class_name(FileIsReceivingAlready("x")), "FileIsReceivingAlready");
    EXPECT_EQ(qk_class_name(Poco::Net::ConnectionResetException("x")),
              "Poco::Net::ConnectionResetException");
}
