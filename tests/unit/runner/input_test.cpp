#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "input.h"

namespace {

// A pipe whose write end the test feeds; the read end is the input.
struct Pipe {
    Pipe()
    {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        read_end = ends[0];
        write_end = ends[1];
    }
    ~Pipe()
    {
        close(read_end);
        close_writer(); // a second close fails harmlessly
    }
    void write_all(const std::string &bytes)
    {
        ASSERT_EQ(write(write_end, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    void close_writer()
    {
        close(write_end);
        write_end = -1;
    }
    int read_end = -1;
    int write_end = -1;
};

class InputReaderTest : public ::testing::Test
{
protected:
    Pipe input;
    Pipe interrupt;

    std::vector<std::string> read_all(bool whole)
    {
        InputReader reader(input.read_end, whole);
        std::vector<std::string> payloads;
        std::string payload;
        while (reader.next(payload, interrupt.read_end) == InputReader::PAYLOAD) {
            payloads.push_back(payload);
        }
        return payloads;
    }
};

TEST_F(InputReaderTest, OnePayloadPerLineWithoutItsEnding)
{
    input.write_all(std::string("one\ntwo\r\n\nnul\0byte\nlast", 23));
    input.close_writer();
    EXPECT_EQ(read_all(false), (std::vector<std::string>{"one", "two", "",
        std::string("nul\0byte", 8), "last"}));
}

TEST_F(InputReaderTest, AFinalNewlineMakesNoEmptyPayload)
{
    input.write_all("a\nb\n");
    input.close_writer();
    EXPECT_EQ(read_all(false), (std::vector<std::string>{"a", "b"}));
}

TEST_F(InputReaderTest, LinesLongerThanOneReadStayWhole)
{
    std::string long_line(200000, 'x');
    std::thread writer([&] {
        input.write_all(long_line + "\nshort\n");
        input.close_writer();
    });
    std::vector<std::string> payloads = read_all(false);
    writer.join();
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[0], long_line);
    EXPECT_EQ(payloads[1], "short");
}

TEST_F(InputReaderTest, WholeInputIsOnePayloadEvenWhenEmpty)
{
    input.write_all(std::string("a\nb\r\n\0", 6));
    input.close_writer();
    EXPECT_EQ(read_all(true), (std::vector<std::string>{std::string("a\nb\r\n\0", 6)}));

    Pipe empty;
    empty.close_writer();
    InputReader reader(empty.read_end, true);
    std::string payload = "stale";
    EXPECT_EQ(reader.next(payload, interrupt.read_end), InputReader::PAYLOAD);
    EXPECT_EQ(payload, "");
    EXPECT_EQ(reader.next(payload, interrupt.read_end), InputReader::END);
}

TEST_F(InputReaderTest, AnInterruptEndsAWaitForSilentInput)
{
    InputReader reader(input.read_end, false);
    input.write_all("ready\npartial");
    std::string payload;
    EXPECT_EQ(reader.next(payload, interrupt.read_end), InputReader::PAYLOAD);
    EXPECT_EQ(payload, "ready");
    std::thread stopper([&] { interrupt.write_all("!"); });
    EXPECT_EQ(reader.next(payload, interrupt.read_end), InputReader::INTERRUPTED);
    stopper.join();
}

TEST_F(InputReaderTest, AReadErrorIsReported)
{
    // A directory polls as readable and fails every read.
    int directory = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    InputReader reader(directory, false);
    std::string payload;
    EXPECT_EQ(reader.next(payload, interrupt.read_end), InputReader::FAILED);
    EXPECT_EQ(reader.error(), "Is a directory");
    close(directory);
}

} // namespace
