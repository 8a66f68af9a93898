// A sender's content, read ahead in pieces: whole and in order, and a read that fails
// reaches the sender at its piece, after every piece before it.
#include <gtest/gtest.h>

#include <Poco/Exception.h>
#include <unistd.h>

#include <string>

#include "RawClient.h"
#include "TempDir.h"
#include "base/CQKReadLease.h"
#include "transfer/CQKPieceReader.h"

namespace {

constexpr std::size_t kPiece = CQKPieceReader::kPieceSize;

std::string pattern(std::size_t size) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        content[i] = static_cast<char>(i * 7 + i / 65536);
    return content;
}

// Takes n pieces (all when n is npos) and returns their bytes.
std::string take(CQKPieceReader& reader, std::uint64_t size, std::size_t n = std::string::npos) {
    std::string taken;
    for (std::size_t i = 0; i < n && taken.size() < size; ++i) {
        const CQKPieceReader::Piece piece = reader.next();
        taken.append(reinterpret_cast<const char*>(piece.data), piece.size);
    }
    return taken;
}

TEST(PieceReader, BigSmallAndEmptyFilesComeWholeWithTheirChecksum) {
    TempDir dir;
    CQKPieceReader reader;
    for (const std::string& content : {pattern(9 * 1024 * 1024 + 123), std::string("small"),
                                       std::string(), pattern(3 * kPiece)}) {
        dir.writeFile("f.bin", content);
        CQKReadLease source(dir / "f.bin");
        reader.begin(source, dir / "f.bin", content.size());
        EXPECT_TRUE(take(reader, content.size()) == content);
        EXPECT_EQ(reader.finish(), RawClient::crcOf(content));
    }
}

TEST(PieceReader, AFileCutShortFailsAtItsPieceAndAnAbandonedFileLeavesNoReadBehind) {
    TempDir dir;
    const std::string content = pattern(20 * kPiece);
    dir.writeFile("f.bin", content);
    CQKPieceReader reader;
    {
        CQKReadLease source(dir / "f.bin");
        reader.begin(source, dir / "f.bin", content.size());
        ASSERT_EQ(::truncate((dir / "f.bin").c_str(), 10 * kPiece + 100), 0);
        EXPECT_TRUE(take(reader, content.size(), 10) == content.substr(0, 10 * kPiece));
        EXPECT_THROW(reader.next(), Poco::ReadFileException);
        reader.abandon();
    }

    // Given up after one piece, with reads under way; the next file starts clean.
    dir.writeFile("f.bin", content);
    {
        CQKReadLease source(dir / "f.bin");
        reader.begin(source, dir / "f.bin", content.size());
        take(reader, content.size(), 1);
        reader.abandon();
    }
    CQKReadLease source(dir / "f.bin");
    reader.begin(source, dir / "f.bin", content.size());
    EXPECT_TRUE(take(reader, content.size()) == content);
    EXPECT_EQ(reader.finish(), RawClient::crcOf(content));
}

}  // namespace
