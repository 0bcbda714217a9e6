/*
 * The disk spool against real files: what a restart brings back, what a
 * torn or bad record costs, the bound, the lock, and a directory that can
 * no longer be written.
 */
#include <algorithm>
#include <filesystem>
#include <fstream>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <scratch_dir.h>

#include "spool.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using Texts = std::vector<std::string>;

namespace {

std::shared_ptr<agPluginSinkPayload> payload(
    const std::string &text, const std::set<std::string> &channels = {"flows"})
{
    return std::make_shared<agPluginSinkPayload>(text.data(), text.size(), channels);
}

std::string text_of(const Spool::Item &item)
{
    return std::string(reinterpret_cast<const char *>(item.payload.data), item.payload.length);
}

std::unique_ptr<Spool> open_spool(const std::string &dir, uint64_t max_bytes = Spool::DEFAULT_MAX_BYTES)
{
    std::string error;
    auto spool = Spool::Open(dir, max_bytes, error);
    EXPECT_NE(spool, nullptr) << error;
    return spool;
}

std::vector<Spool::Item> take_all(Spool &spool)
{
    std::vector<Spool::Item> items;
    Spool::Item item;
    while (spool.Next(item)) {
        items.push_back(item);
    }
    return items;
}

Texts texts_of(const std::vector<Spool::Item> &items)
{
    Texts texts;
    for (const auto &item : items) {
        texts.push_back(text_of(item));
    }
    return texts;
}

Texts notices(Spool &spool)
{
    Texts lines;
    std::string line;
    while (spool.TakeNotice(line)) {
        lines.push_back(line);
    }
    return lines;
}

/* Numbered payloads of `size` bytes, "000017 xxxx...". */
std::string numbered(int number, std::size_t size = 200)
{
    std::string text = std::to_string(1000000 + number).substr(1) + " ";
    text.resize(size, 'x');
    return text;
}

Texts numbered_range(int from, int to, std::size_t size = 200)
{
    Texts texts;
    for (int number = from; number < to; ++number) {
        texts.push_back(numbered(number, size));
    }
    return texts;
}

void append_numbered(Spool &spool, int from, int to, std::size_t size = 200)
{
    for (int number = from; number < to; ++number) {
        ASSERT_TRUE(spool.Append(payload(numbered(number, size))));
    }
    ASSERT_TRUE(spool.Flush());
}

constexpr std::size_t KIB = 1024;

/* 10000 payloads of 1 KiB, more than the cache holds. */
void append_past_the_cache(Spool &spool)
{
    for (int from = 0; from < 10000; from += 1000) {
        append_numbered(spool, from, from + 1000, KIB);
    }
}

void take(Spool &spool, int count)
{
    Spool::Item item;
    for (int taken = 0; taken < count; ++taken) {
        ASSERT_TRUE(spool.Next(item));
    }
}

std::vector<std::string> segment_files(const std::string &dir)
{
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".seg") {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

/* The first sequence number a segment file's name gives. */
int first_seq_of(const std::string &path)
{
    return static_cast<int>(std::stoull(std::filesystem::path(path).stem().string(), nullptr, 16));
}

uint64_t segment_bytes(const std::string &dir)
{
    uint64_t bytes = 0;
    for (const std::string &file : segment_files(dir)) {
        bytes += std::filesystem::file_size(file);
    }
    return bytes;
}

void flip_byte(const std::string &path, std::streamoff offset)
{
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(offset);
    char byte = static_cast<char>(file.get() ^ 0x5a);
    file.seekp(offset);
    file.put(byte);
}

void settle_all(Spool &spool, const std::vector<Spool::Item> &items)
{
    for (const auto &item : items) {
        spool.Done(item.seq);
    }
}

} // namespace

TEST(SpoolTest, WhatWasNotDoneAtTheLastSyncComesBackInOrderAfterARestart)
{
    ScratchDir scratch;
    const std::string dir = scratch.file("made/spool");
    auto spool = open_spool(dir);
    struct stat info;
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    std::string error;
    EXPECT_EQ(Spool::Open(dir, Spool::DEFAULT_MAX_BYTES, error), nullptr)
        << "a second instance, in the same process too";
    EXPECT_THAT(error, HasSubstr("in use by another instance"));

    // p3 and p4 are as odd as payloads get: empty without a channel, and
    // larger than one read of the files.
    const std::string large(300 << 10, 'L');
    for (const char *text : {"p0", "p1", "p2"}) {
        ASSERT_TRUE(spool->Append(payload(text, {"a", "b"})));
    }
    ASSERT_TRUE(spool->Append(payload("", {})));
    ASSERT_TRUE(spool->Append(payload(large)));
    ASSERT_TRUE(spool->Append(payload("p5")));
    Spool::Item item;
    EXPECT_FALSE(spool->Next(item)) << "nothing is handed out before it is written";
    ASSERT_TRUE(spool->Flush());
    auto items = take_all(*spool);
    EXPECT_THAT(texts_of(items), ElementsAre("p0", "p1", "p2", "", large, "p5"));
    EXPECT_EQ(items[5].seq, 5u);

    // Out of order, twice, and unknown: the mark passes only what is done.
    for (uint64_t seq : {2, 0, 0, 99}) {
        spool->Done(seq);
    }
    EXPECT_EQ(spool->Figures().payloads, 4u);
    spool->Done(1);
    ASSERT_TRUE(spool->Sync());
    spool->Done(3); // not synced: handed out again
    ASSERT_TRUE(spool->Append(payload("p6")));
    ASSERT_TRUE(spool->Flush());
    spool.reset();

    spool = open_spool(dir);
    SpoolFigures figures = spool->Figures();
    EXPECT_EQ(figures.payloads, 4u);
    EXPECT_GE(figures.oldest_age_ms, 0);
    EXPECT_LT(figures.oldest_age_ms, 60000) << "the append time read back from the file";
    EXPECT_EQ(figures.bytes, segment_bytes(dir));
    items = take_all(*spool);
    EXPECT_THAT(texts_of(items), ElementsAre("", large, "p5", "p6"));
    EXPECT_THAT(*items[0].payload.channels, ElementsAre());
    EXPECT_THAT(*items[2].payload.channels, ElementsAre("flows"));
    EXPECT_EQ(spool->Figures().replayed, 4u);
    ASSERT_TRUE(spool->Append(payload("p7")));
    ASSERT_TRUE(spool->Flush());
    ASSERT_TRUE(spool->Next(item));
    EXPECT_EQ(item.seq, 7u);
    items.push_back(item);
    settle_all(*spool, items);
    ASSERT_TRUE(spool->Sync());
    EXPECT_THAT(segment_files(dir), ElementsAre(HasSubstr("0000000000000007.seg")))
        << "segments wholly done are removed; the one appended to stays";
    spool.reset();

    spool = open_spool(dir);
    EXPECT_THAT(take_all(*spool), ElementsAre());
    EXPECT_THAT(notices(*spool), ElementsAre());
}

TEST(SpoolTest, TornLastRecordIsCutAwayAndToldOnce)
{
    ScratchDir scratch;
    auto spool = open_spool(scratch.path());
    append_numbered(*spool, 0, 3);
    spool.reset();
    const std::string segment = segment_files(scratch.path()).at(0);
    ASSERT_EQ(truncate(segment.c_str(), static_cast<off_t>(std::filesystem::file_size(segment) - 5)), 0);

    spool = open_spool(scratch.path());
    EXPECT_THAT(notices(*spool), ElementsAre(HasSubstr("torn record")));
    EXPECT_EQ(spool->Figures().skipped, 1u);
    EXPECT_THAT(texts_of(take_all(*spool)), ElementsAreArray(numbered_range(0, 2)));
    spool.reset();

    spool = open_spool(scratch.path());
    EXPECT_THAT(notices(*spool), ElementsAre()) << "cut away, so told once";
    spool->Done(take_all(*spool).at(0).seq);
    ASSERT_TRUE(spool->Sync());
    spool.reset();
    scratch.write("done", "half a mark");

    spool = open_spool(scratch.path());
    EXPECT_THAT(notices(*spool), ElementsAre(HasSubstr("done mark unreadable")))
        << "at least once: without a mark everything comes again";
    ASSERT_TRUE(spool->Append(payload("after")));
    ASSERT_TRUE(spool->Flush());
    Texts expected = numbered_range(0, 2);
    expected.push_back("after");
    EXPECT_THAT(texts_of(take_all(*spool)), ElementsAreArray(expected))
        << "new records follow the last whole one";
}

TEST(SpoolTest, BadRecordSkipsTheRestOfItsSegmentAndTheNextOnesRead)
{
    ScratchDir scratch;
    // Segments of 4 KiB: about 17 records of 200 bytes each.
    const uint64_t bound = 256 << 10;
    auto spool = open_spool(scratch.path(), bound);
    append_numbered(*spool, 0, 100);
    spool.reset();
    auto files = segment_files(scratch.path());
    ASSERT_GE(files.size(), 4u);
    const std::streamoff record = 28 + 4 + 5 + 200; // fixed part, channel "flows", payload
    flip_byte(files[0], 16 + 3 * record + 40);
    flip_byte(files[2], 0); // its magic: no segment of this format

    spool = open_spool(scratch.path(), bound);
    auto items = take_all(*spool);
    const int second = first_seq_of(files[1]);
    const int third = first_seq_of(files[2]);
    const int fourth = first_seq_of(files[3]);
    Texts expected = numbered_range(0, 3);
    for (const Texts &rest : {numbered_range(second, third), numbered_range(fourth, 100)}) {
        expected.insert(expected.end(), rest.begin(), rest.end());
    }
    EXPECT_THAT(texts_of(items), ElementsAreArray(expected));
    EXPECT_EQ(spool->Figures().skipped, static_cast<uint64_t>(second - 3 + fourth - third));
    EXPECT_THAT(notices(*spool),
        ElementsAre(HasSubstr("bad record"), HasSubstr("not a segment of this format")));

    // The mark passes what was skipped.
    settle_all(*spool, items);
    ASSERT_TRUE(spool->Sync());
    spool.reset();
    spool = open_spool(scratch.path(), bound);
    EXPECT_THAT(take_all(*spool), ElementsAre());
}

TEST(SpoolTest, BoundDropsTheOldestAndCountsThoseNotDone)
{
    ScratchDir scratch;
    const uint64_t bound = 64 << 10;
    auto spool = open_spool(scratch.path(), bound);
    append_numbered(*spool, 0, 10);
    take(*spool, 5);
    spool->Done(0);

    for (int from = 10; from < 1010; from += 100) {
        append_numbered(*spool, from, from + 100);
    }
    EXPECT_FALSE(spool->Append(payload(std::string(bound, 'x')))) << "alone past the bound";
    EXPECT_FALSE(spool->Failed());
    SpoolFigures figures = spool->Figures();
    EXPECT_LE(figures.bytes, bound);
    EXPECT_EQ(figures.bytes, segment_bytes(scratch.path()));
    auto items = take_all(*spool);
    ASSERT_FALSE(items.empty());
    uint64_t first = items.front().seq;
    EXPECT_GT(first, 10u);
    EXPECT_THAT(texts_of(items), ElementsAreArray(numbered_range(static_cast<int>(first), 1010)));
    // 1 to 4 in flight, 5 onwards never handed out: none of them done.
    EXPECT_EQ(figures.dropped, first - 1);

    spool->Done(3); // in flight when dropped: nothing to settle any more
    EXPECT_EQ(spool->Figures().payloads, items.size());
    settle_all(*spool, items);
    EXPECT_EQ(spool->Figures().payloads, 0u);
}

TEST(SpoolTest, PayloadsBeyondTheCacheAreReadBackInOrder)
{
    ScratchDir scratch;
    auto spool = open_spool(scratch.path());
    append_past_the_cache(*spool);
    take(*spool, 5000);
    append_numbered(*spool, 10000, 10500, KIB);
    auto items = take_all(*spool);
    EXPECT_THAT(texts_of(items), ElementsAreArray(numbered_range(5000, 10500, KIB)));
    EXPECT_EQ(spool->Figures().replayed, 0u);
}

TEST(SpoolTest, BadRecordFoundInThisRunSkipsNoPayloadTheCacheHolds)
{
    ScratchDir scratch;
    auto spool = open_spool(scratch.path());
    append_past_the_cache(*spool);
    const int cached = static_cast<int>(Spool::CACHE_BYTES / KIB);
    take(*spool, cached);
    append_numbered(*spool, 10000, 10100, KIB);
    const std::streamoff record = 28 + 4 + 5 + KIB;
    flip_byte(segment_files(scratch.path()).at(0), 16 + 9000 * record + 100);

    Texts expected = numbered_range(cached, 9000, KIB);
    Texts newer = numbered_range(10000, 10100, KIB);
    expected.insert(expected.end(), newer.begin(), newer.end());
    EXPECT_THAT(texts_of(take_all(*spool)), ElementsAreArray(expected));
    EXPECT_EQ(spool->Figures().skipped, 1000u);
}

TEST(SpoolTest, DirectoryThatCannotBeWrittenFailsTheSpoolWhichHandsOutWhatItHolds)
{
    ScratchDir scratch;
    std::string error;
    const std::string file = scratch.write("file", "");
    EXPECT_EQ(Spool::Open(file, Spool::DEFAULT_MAX_BYTES, error), nullptr);
    EXPECT_THAT(error, HasSubstr("Not a directory"));
    if (geteuid() != 0) { // permissions do not bind root
        const std::string read_only = scratch.file("read-only");
        ASSERT_EQ(mkdir(read_only.c_str(), 0500), 0);
        EXPECT_EQ(Spool::Open(read_only, Spool::DEFAULT_MAX_BYTES, error), nullptr);
        EXPECT_THAT(error, HasSubstr("Permission denied"));
    }

    const std::string dir = scratch.file("vanishing");
    auto spool = open_spool(dir, 64 << 10);
    append_numbered(*spool, 0, 10);
    std::filesystem::remove_all(dir);
    int accepted = 10;
    while (spool->Append(payload(numbered(accepted)))) {
        ++accepted;
    }
    EXPECT_TRUE(spool->Failed());
    EXPECT_EQ(spool->ErrorNumber(), ENOENT);
    EXPECT_THAT(notices(*spool), ElementsAre(HasSubstr("No such file or directory")));
    EXPECT_FALSE(spool->Flush());
    EXPECT_FALSE(spool->Sync());
    EXPECT_FALSE(spool->Append(payload("later")));
    EXPECT_EQ(spool->Figures().write_failures, 1u);
    auto items = take_all(*spool);
    EXPECT_THAT(texts_of(items), ElementsAreArray(numbered_range(0, accepted)))
        << "everything taken is still handed out";
    EXPECT_FALSE(spool->Settled());
    settle_all(*spool, items);
    EXPECT_TRUE(spool->Settled());
}

// A disk that fills up: the spool fails, hands out what it holds, and once
// all of it is done lets go of it on disk, so that the spool opened anew
// on the directory hands none of it out again and the disk has its room
// back. The file size limit stands in for the full disk.
TEST(SpoolTest, FailedSpoolLetsGoOfWhatIsDoneForTheNextOne)
{
    ScratchDir scratch;
    const std::string dir = scratch.file("spool");
    auto spool = open_spool(dir, 64 << 10);
    struct rlimit unlimited;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = unlimited;
    small.rlim_cur = 2000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int accepted = 0;
    while (spool->Append(payload(numbered(accepted))) && spool->Flush()) {
        ++accepted;
    }
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    ASSERT_TRUE(spool->Failed());
    EXPECT_THAT(notices(*spool), ElementsAre(HasSubstr("File too large")));
    auto items = take_all(*spool);
    ASSERT_EQ(items.size(), static_cast<std::size_t>(accepted + 1));
    settle_all(*spool, items);
    ASSERT_TRUE(spool->Settled());

    EXPECT_FALSE(spool->Sync()) << "still failed";
    spool.reset();
    EXPECT_THAT(segment_files(dir), ::testing::IsEmpty());
    auto next = open_spool(dir, 64 << 10);
    EXPECT_THAT(take_all(*next), ::testing::IsEmpty());
}
