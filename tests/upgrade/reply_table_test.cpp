#include "reply_table.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "string_table.h"

namespace kx {
namespace {

// Written out character by character rather than as ranges.
const std::string kEchoed = "\n\r ()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ";

TEST(ReplyTable, ClassifiesEveryByte) {
    const std::map<int, ReplyAction> replies = {{0xA9, ReplyAction::Next},
                                                {0xB6, ReplyAction::Repeat},
                                                {0xC8, ReplyAction::Error},
                                                {0xD5, ReplyAction::IdMismatch}};
    int echoed = 0;
    for (int b = 0; b <= 255; ++b) {
        ReplyAction expected = ReplyAction::Ignore;
        if (const auto it = replies.find(b); it != replies.end()) {
            expected = it->second;
        } else if (kEchoed.find(static_cast<char>(b)) != std::string::npos) {
            expected = ReplyAction::Echo;
            ++echoed;
        }
        EXPECT_EQ(ClassifyReply(static_cast<std::uint8_t>(b)), expected) << "byte " << b;
    }
    EXPECT_EQ(echoed, 3 + 51);
}

// And which replies show a transfer moving: echoed text and noise do not.
TEST(ReplyTable, WhatChangesTheLogWithWhichTextAndWhatAnswersAPacket) {
    struct Row {
        ReplyAction action;
        bool changesLog;
        std::string text;
        bool answers;
    };
    const Row rows[] = {
        {ReplyAction::Next, false, "", true},
        {ReplyAction::Repeat, true, "REPEAT", true},
        {ReplyAction::Error, true, "ERROR", true},
        {ReplyAction::IdMismatch, true, "UPDATE FILE ID DOESNT MATCH DEVICE ID", true},
        {ReplyAction::Echo, true, "", false},
        {ReplyAction::Ignore, false, "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.action));
        EXPECT_EQ(ReplyChangesLog(row.action), row.changesLog);
        EXPECT_EQ(ReplyLogText(row.action), row.text);
        EXPECT_EQ(AnswersPacket(row.action), row.answers);
    }
}

}  // namespace
}  // namespace kx
