// Joining message words: single blanks while the text fits one log message.
#include "message_batch.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zor_logger::MessageBatch;

std::vector<std::string> batch(const std::vector<std::string> &words) {
    std::vector<std::string> sent;
    MessageBatch messages(
        [](const char *message, void *context) {
            static_cast<std::vector<std::string> *>(context)->push_back(message);
        },
        &sent);
    for (const std::string &word : words) {
        messages.add(word.c_str());
    }
    messages.flush();
    return sent;
}

using Words = std::vector<std::string>;

TEST(MessageBatch, JoinsWordsWithSingleBlanks) {
    EXPECT_EQ(batch({"a", "b", "c"}), Words{"a b c"});
    EXPECT_EQ(batch({"hello", "world"}), Words{"hello world"});
    EXPECT_EQ(batch({}), Words{});
}

TEST(MessageBatch, EmptyWordsJoinAsEmptyTexts) {
    EXPECT_EQ(batch({""}), Words{});
    EXPECT_EQ(batch({"", ""}), Words{});  // a blank joins only onto a non-empty text
    EXPECT_EQ(batch({"a", "", "b"}), Words{"a  b"});
}

TEST(MessageBatch, MessagesStayWithin1023Characters) {
    const std::string half(511, 'h');
    // 511 + 1 + 511 = 1023 characters: one message.
    EXPECT_EQ(batch({half, half}), Words{half + " " + half});
    // One more character would make 1024: two messages, in order.
    EXPECT_EQ(batch({half, half + "x"}), (Words{half, half + "x"}));
    const std::string full(1023, 'f');
    EXPECT_EQ(batch({"a", full, "b"}), (Words{"a", full, "b"}));
}

TEST(MessageBatch, WordTooLongForAMessageIsSentAloneAndWhole) {
    const std::string huge(5000, 'w');
    EXPECT_EQ(batch({"a", huge, "b"}), (Words{"a", huge, "b"}));
    EXPECT_EQ(batch({huge}), Words{huge});
    const std::string exactly(1024, 'e');
    EXPECT_EQ(batch({exactly, "z"}), (Words{exactly, "z"}));
}

TEST(MessageBatch, KeepsEveryCharacterOfManyWords) {
    Words words;
    std::string all;
    for (int i = 0; i < 600; ++i) {
        words.push_back("w" + std::to_string(i));
        all += (i == 0 ? "" : " ") + words.back();
    }
    const Words sent = batch(words);
    ASSERT_GT(sent.size(), 1u);
    std::string joined;
    for (const std::string &message : sent) {
        EXPECT_LE(message.size(), 1023u);
        joined += (joined.empty() ? "" : " ") + message;
    }
    EXPECT_EQ(joined, all);
}

}  // namespace
