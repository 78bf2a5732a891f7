#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "service/EventIds.h"

// The message file compiled into the executable must carry every id the code
// writes, under the same name, with the text the event viewer shows.
TEST(MessageTable, MatchesTheEventIdsTheCodeWrites) {
    std::ifstream file(QX_SOURCE_DIR "/app/Messages.mc");
    ASSERT_TRUE(file.good());

    struct Message {
        std::string name;
        std::string text;
    };
    std::map<unsigned long, Message> messages;
    std::string line;
    unsigned long id = 0;
    bool inText = false;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (inText) {
            if (line == ".") {
                inText = false;
            } else {
                messages[id].text += line + "\r\n";
            }
        } else if (line.rfind("MessageId=", 0) == 0) {
            id = std::stoul(line.substr(10));
        } else if (line.rfind("SymbolicName=", 0) == 0) {
            messages[id].name = line.substr(13);
        } else if (line == "Language=English") {
            inText = true;
        }
    }

    const std::map<unsigned long, Message> expected = {
        {MsgInstalled, {"MsgInstalled", "The %1 service was installed.\r\n"}},
        {MsgRemoved, {"MsgRemoved", "The %1 service was removed.\r\n"}},
        {MsgNotRemoved, {"MsgNotRemoved", "The %1 service could not be removed.\r\n"}},
        {MsgCtrlHandlerNotInstalled,
         {"MsgCtrlHandlerNotInstalled", "The control handler could not be installed.\r\n"}},
        {MsgInitFailed, {"MsgInitFailed", "The initialization process failed.\r\n"}},
        {MsgStarted, {"MsgStarted", "The service was started.\r\n"}},
        {MsgBadRequest, {"MsgBadRequest", "The service received an unsupported request.\r\n"}},
        {MsgDebug, {"MsgDebug", "Debug: %1\r\n"}},
        {MsgStopped, {"MsgStopped", "The service was stopped.\r\n"}},
        {MsgKeysLeft,
         {"MsgKeysLeft",
          "The %1 service was removed, but its drive icon keys of %2 could not be taken back "
          "(error %3).\r\n"}},
        {MsgNotStopped,
         {"MsgNotStopped",
          "The %1 service did not stop. It is marked for deletion and keeps its drive icon keys "
          "until it stops.\r\n"}},
    };
    ASSERT_EQ(messages.size(), expected.size());
    for (const auto& [messageId, message] : expected) {
        ASSERT_EQ(messages.count(messageId), 1u) << messageId;
        EXPECT_EQ(messages[messageId].name, message.name) << messageId;
        EXPECT_EQ(messages[messageId].text, message.text) << messageId;
    }
}
