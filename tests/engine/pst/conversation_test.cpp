// Conversation topic and index: a reply lands in its original's conversation, whatever prefixes
// its subject carries and however its program numbered the thread.
#include "engine/pst/messaging/conversation.h"

#include <gtest/gtest.h>

using namespace quillmark::pst;

namespace {

std::vector<std::uint8_t> guidOf(const std::vector<std::uint8_t>& index)
{
    return index.size() >= 22 ? std::vector<std::uint8_t>(index.begin() + 6, index.begin() + 22)
                              : std::vector<std::uint8_t>{};
}

}  // namespace

TEST(PstConversation, TopicLeavesOutEveryReplyAndForwardPrefix)
{
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"Re: Budget", "Budget"},
        {"RE: Fwd: re: Budget", "Budget"},
        {"  Re:Budget", "Budget"},
        {"AW: WG: Angebot", "Angebot"},
        {"SV: Vs: Tarjous", "Tarjous"},
        {"Re[2]: Budget", "Budget"},
        {"Re(12): Budget", "Budget"},
        {"Fw: TR: RIF: Antw: Budget", "Budget"},
        {"Réf : Budget", "Réf : Budget"},  // a blank before the colon: not a prefix
        {"Отв: Отчёт", "Отчёт"},
        {"回复：会议", "会议"},
        // Words that only begin like a prefix, and prefixes later in the subject, stay.
        {"Review: Budget", "Review: Budget"},
        {"Fwds: x", "Fwds: x"},
        {"Budget (Re: earlier)", "Budget (Re: earlier)"},
        {"Re[]: Budget", "Re[]: Budget"},
        {"Re[2 Budget", "Re[2 Budget"},
        {"Budget", "Budget"},
        {"Re:", ""},
        {"", ""},
    };
    for (const auto& [subject, topic] : cases) EXPECT_EQ(conversationTopic(subject), topic) << subject;
}

TEST(PstConversation, ThreadIndexFieldIsTakenOnlyWhenWellFormed)
{
    // 27 bytes: header starting 0x01 and one reply block; folded as a long field would be.
    const auto given = indexFromThreadIndex("AQIDBAUGBwgJCgsMDQ4PEBES\r\n ExQVFqq7zN3u");
    ASSERT_TRUE(given);
    EXPECT_EQ(given->size(), 27u);
    EXPECT_EQ((*given)[0], 1);
    EXPECT_EQ(given->back(), 0xEE);
    EXPECT_FALSE(indexFromThreadIndex("AgIDBAUGBwgJCgsMDQ4PEBESExQVFg=="));  // reserved byte 2
    EXPECT_FALSE(indexFromThreadIndex("AQIDBAUGBwgJCgsMDQ4PEBESExQVFhc="));  // 23 bytes: no whole block
    EXPECT_FALSE(indexFromThreadIndex("AQIDBAUGBwgJCgsMDQ4PEBESExQVFqq7zN3u!"));
    EXPECT_FALSE(indexFromThreadIndex("AQ==AQIDBAUGBwgJCgsMDQ4PEBESExQVFqq7zN3u"));  // data after padding
    EXPECT_FALSE(indexFromThreadIndex(""));

    // A well-formed field wins over the Message-IDs; a broken one does not stop the index.
    const auto taken = conversationIndex({"AQIDBAUGBwgJCgsMDQ4PEBESExQVFqq7zN3u", "<own@x>", "", "", 0});
    EXPECT_EQ(taken, *given);
    const auto built = conversationIndex({"AgIDBAUG", "<own@x>", "", "", 0});
    EXPECT_EQ(built.size(), 22u);
}

TEST(PstConversation, RepliesShareTheirThreadsGuidWithABlockPerLevel)
{
    const std::uint64_t date = 0x01DD7E8919B8CD32ULL;
    const auto root = conversationIndex({"", "<first@example.org>", "", "", date});
    const auto reply = conversationIndex({"", "<second@example.org>", "<first@example.org>", "", date + 1000});
    const auto third = conversationIndex(
        {"", "<third@example.org>", "<second@example.org>", "<first@example.org>\r\n <second@example.org>", date});
    const auto unbracketed = conversationIndex({"", "x@y", "first@example.org", "", date});
    const auto other = conversationIndex({"", "<elsewhere@example.org>", "", "", date});

    ASSERT_EQ(root.size(), 22u);
    EXPECT_EQ(reply.size(), 27u);
    EXPECT_EQ(third.size(), 32u);  // two References: two levels below the thread's first message
    for (const auto* index : {&root, &reply, &third, &unbracketed, &other}) EXPECT_EQ((*index)[0], 1);
    EXPECT_EQ(guidOf(reply), guidOf(root));
    EXPECT_EQ(guidOf(third), guidOf(root));
    EXPECT_EQ(guidOf(unbracketed), guidOf(root));
    EXPECT_NE(guidOf(other), guidOf(root));
    // The header's time: the FILETIME's five high bytes, most significant first.
    EXPECT_EQ(std::vector<std::uint8_t>(root.begin() + 1, root.begin() + 6),
              (std::vector<std::uint8_t>{0x01, 0xDD, 0x7E, 0x89, 0x19}));
    EXPECT_EQ(conversationIndex({"", "<first@example.org>", "", "", date}), root) << "made the same way twice";
    EXPECT_TRUE(conversationIndex({"", "", "", "", date}).empty());

    std::string many;
    for (int i = 0; i < 500; ++i) many += "<m" + std::to_string(i) + "@x> ";
    EXPECT_EQ(conversationIndex({"", "<last@x>", "", many, date}).size(), 22u + 5u * 64u) << "levels are bounded";
}
