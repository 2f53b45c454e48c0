#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "port_enum.h"

namespace tavrol {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Counting and number reading over device texts.

struct TextCase {
    std::string text;
    int expected;
};

TEST(EnumerateDeviceTextsTest, ReadsTheNumberFromTheFourthCharacterLikeAtol) {
    const std::vector<TextCase> cases = {
        {"COM1", 1},
        {"COM3", 3},
        {"COM10", 10},
        {"COM256", 256},
        {"COM1234", 1234},
        {"CNCA0", 0},  // only "A0" is read
        {"XYZ42", 42},  // the first three characters are skipped, whatever they are
        {"COM", 0},
        {"CO", 0},
        {"C", 0},
        {"COMx1", 0},
        {"COM12ab", 12},
        {"COM0042", 42},
        {"COM 12", 12},
        {"COM\t+7", 7},
        {"COM-3", -3},
        {"COM+", 0},
        {"COM99999999999999999999", INT_MAX},  // saturates instead of overflowing
        {"COM-99999999999", INT_MIN},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        int out[2] = {-7, -8};
        EXPECT_EQ(EnumerateDeviceTexts({c.text}, out, 1), 1);
        EXPECT_EQ(out[0], c.expected);
        EXPECT_EQ(out[1], -8) << "wrote past the capacity";
    }
}

TEST(EnumerateDeviceTextsTest, StoresAtTheTextsIndexAndCountsEmptyTextsWithoutStoring) {
    const std::vector<std::string> texts = {"COM1", "", "COM3", std::string("\0COM5", 5), "COM7"};
    std::vector<int> out = {-1, -2, -3, -4, -5};
    EXPECT_EQ(EnumerateDeviceTexts(texts, out.data(), 5), 5);
    EXPECT_EQ(out, (std::vector<int>{1, -2, 3, -4, 7}));
}

TEST(EnumerateDeviceTextsTest, NullArrayOnlyCounts) {
    EXPECT_EQ(EnumerateDeviceTexts({"COM1", "COM3", ""}, nullptr, 3), 3);
    EXPECT_EQ(EnumerateDeviceTexts({"COM1", "COM3", ""}, nullptr, 0), 3);
    EXPECT_EQ(EnumerateDeviceTexts({}, nullptr, 0), 0);
}

TEST(EnumerateDeviceTextsTest, NeverWritesAtOrBeyondTheCapacity) {
    const std::vector<std::string> texts = {"COM1", "COM2", "COM3"};
    for (int capacity : {2, 1, 0, -1}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        std::vector<int> out = {-1, -1, -1, -1};
        EXPECT_EQ(EnumerateDeviceTexts(texts, out.data(), capacity), 3);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], i < capacity ? i + 1 : -1) << "entry " << i;
    }
}

TEST(EnumerateDeviceTextsTest, ExaminesAtMost32767Texts) {
    const std::vector<std::string> texts(40000, "COM5");
    std::vector<int> out(texts.size(), 0);
    EXPECT_EQ(EnumerateDeviceTexts(texts, out.data(), static_cast<int>(out.size())), 32767);
    EXPECT_EQ(out[32766], 5);
    EXPECT_EQ(out[32767], 0);
}

}  // namespace
}  // namespace tavrol
