#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli.h"

namespace orvhost {
namespace {

std::optional<CommandLine> Parse(std::vector<std::string> args, std::string *errorOut = nullptr) {
    std::string error;
    auto line = ParseCommandLine(args, error);
    if (!line) {
        EXPECT_FALSE(error.empty());
    }
    if (errorOut != nullptr) {
        *errorOut = error;
    }
    return line;
}

TEST(CommandLine, DefaultsOfAPlainRead) {
    const auto line = Parse({"read", "01V0064"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->command.kind, CommandKind::Read);
    ASSERT_EQ(line->command.addresses.size(), 1u);
    EXPECT_EQ(line->command.addresses[0], "01V0064");
    EXPECT_EQ(line->command.count, 1);
    EXPECT_EQ(line->options.channel, 1);
    EXPECT_TRUE(line->options.card);
    EXPECT_EQ(line->options.timeout, 100);
    EXPECT_EQ(line->options.type, ValueType::Int16);
    EXPECT_EQ(line->options.minLevel, 0);
}

TEST(CommandLine, ShortLongAttachedAndGroupedOptionsAgree) {
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"-c", "3", "-n", "-o", "250", "-t", "float", "-l", "32", "read", "01W0001", "4"},
             {"-c3", "-no250", "-tfloat", "-l32", "read", "01W0001", "4"},
             {"--channel", "3", "--no-card", "--timeout=250", "--type", "float", "--level=32", "read", "01W0001",
              "4"},
             {"read", "01W0001", "4", "--channel=3", "-n", "--timeout", "250", "-t", "float", "-l", "32"},
         }) {
        const auto line = Parse(args);
        ASSERT_TRUE(line) << args[0];
        EXPECT_EQ(line->options.channel, 3);
        EXPECT_FALSE(line->options.card);
        EXPECT_EQ(line->options.timeout, 250);
        EXPECT_EQ(line->options.type, ValueType::Float);
        EXPECT_EQ(line->options.minLevel, 32);
        EXPECT_EQ(line->command.count, 4);
    }
}

TEST(CommandLine, NegativeValuesToWriteAreNotOptions) {
    const auto line = Parse({"write", "01V0001", "-5", "-.5", "7"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->command.values, (std::vector<std::string>{"-5", "-.5", "7"}));
    const auto afterDashes = Parse({"write", "--", "01V0001", "-t"});
    ASSERT_TRUE(afterDashes);
    EXPECT_EQ(afterDashes->command.values, (std::vector<std::string>{"-t"}));
}

TEST(CommandLine, NumbersOutsideTheirRangeAreRefused) {
    std::string error;
    EXPECT_FALSE(Parse({"-c", "1000", "info"}, &error));
    EXPECT_NE(error.find("0..999"), std::string::npos) << error;
    EXPECT_FALSE(Parse({"-c", "-1", "info"}));
    EXPECT_FALSE(Parse({"-c", "1x", "info"}));
    EXPECT_FALSE(Parse({"-c", "", "info"}));
    EXPECT_FALSE(Parse({"-c", "99999999999999999999999", "info"}));
    EXPECT_FALSE(Parse({"-o", "214748365", "info"})) << "ten times the time-out must fit in 32 bits";
    EXPECT_TRUE(Parse({"-o", "214748364", "info"}));
    EXPECT_FALSE(Parse({"read", "01V0001", "0"}));
    EXPECT_FALSE(Parse({"read", "01V0001", "257"}));
    EXPECT_TRUE(Parse({"read", "01V0001", "256"}));
    EXPECT_FALSE(Parse({"-i", "3600001", "poll", "01V0001"}));
    EXPECT_FALSE(Parse({"-N", "-1", "poll", "01V0001"}));
}

TEST(CommandLine, WrongShapesAreRefused) {
    EXPECT_FALSE(Parse({}));
    EXPECT_FALSE(Parse({"-c"}));
    EXPECT_FALSE(Parse({"--bogus", "info"}));
    EXPECT_FALSE(Parse({"-x", "info"}));
    EXPECT_FALSE(Parse({"--no-card=1", "info"}));
    EXPECT_FALSE(Parse({"-t", "double", "info"}));
    EXPECT_FALSE(Parse({"info", "extra"}));
    EXPECT_FALSE(Parse({"read"}));
    EXPECT_FALSE(Parse({"read", "01V0001", "2", "3"}));
    EXPECT_FALSE(Parse({"write", "01V0001"}));
    EXPECT_FALSE(Parse({"poll"}));
    EXPECT_FALSE(Parse({"warm"})) << "warm belongs to scripts";
    EXPECT_FALSE(Parse({"frobnicate"}));
    std::vector<std::string> tooMany{"write", "01V0001"};
    tooMany.insert(tooMany.end(), 257, "1");
    EXPECT_FALSE(Parse(tooMany));
}

TEST(CommandLine, PollScriptAndHelp) {
    const auto poll = Parse({"poll", "01V0001", "01V0002", "--interval", "250", "--count", "4", "-m", "/x/m.so"});
    ASSERT_TRUE(poll);
    EXPECT_EQ(poll->command.kind, CommandKind::Poll);
    EXPECT_EQ(poll->command.addresses.size(), 2u);
    EXPECT_EQ(poll->options.interval, 250);
    EXPECT_EQ(poll->options.pollCount, 4);
    EXPECT_EQ(poll->options.module, "/x/m.so");

    const auto dash = Parse({"-"});
    ASSERT_TRUE(dash);
    EXPECT_EQ(dash->command.kind, CommandKind::Script);
    EXPECT_EQ(dash->command.file, "-");
    const auto file = Parse({"--init", "my.int", "script", "cmds.txt"});
    ASSERT_TRUE(file);
    EXPECT_EQ(file->command.file, "cmds.txt");
    EXPECT_EQ(file->options.initFile, "my.int");
    const auto bare = Parse({"script"});
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->command.file, "-");

    const auto help = Parse({"-h"});
    ASSERT_TRUE(help);
    EXPECT_EQ(help->command.kind, CommandKind::Help);
    const auto version = Parse({"--version"});
    ASSERT_TRUE(version);
    EXPECT_EQ(version->command.kind, CommandKind::Version);
}

TEST(ScriptLine, SplitsAtBlanksAndDropsComments) {
    EXPECT_EQ(SplitScriptLine("  read\t01V0001  3 # three words\r"),
              (std::vector<std::string>{"read", "01V0001", "3"}));
    EXPECT_TRUE(SplitScriptLine("# only a comment").empty());
    EXPECT_TRUE(SplitScriptLine("   ").empty());
}

TEST(ScriptLine, CommandsAndTheirArguments) {
    std::string error;
    auto parse = [&](std::vector<std::string> words) { return ParseScriptCommand(words, error); };

    const auto empty = parse({});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->kind, CommandKind::None);

    const auto read = parse({"read", "01W0001", "-t", "float", "2"});
    ASSERT_TRUE(read);
    EXPECT_EQ(read->kind, CommandKind::Read);
    EXPECT_EQ(read->count, 2);
    EXPECT_EQ(read->type, ValueType::Float);

    const auto write = parse({"write", "01V0001", "-3", "--type=int16"});
    ASSERT_TRUE(write);
    EXPECT_EQ(write->values, (std::vector<std::string>{"-3"}));
    EXPECT_EQ(write->type, ValueType::Int16);

    const auto warm = parse({"warm"});
    ASSERT_TRUE(warm);
    EXPECT_FALSE(warm->hasNumber);
    const auto warm5 = parse({"warm", "5"});
    ASSERT_TRUE(warm5);
    EXPECT_TRUE(warm5->hasNumber);
    EXPECT_EQ(warm5->number, 5);
    EXPECT_FALSE(parse({"warm", "32"}));

    const auto timeout = parse({"timeout", "5"});
    ASSERT_TRUE(timeout);
    EXPECT_EQ(timeout->number, 5);
    EXPECT_FALSE(parse({"timeout"}));
    EXPECT_FALSE(parse({"timeout", "-1"}));

    const auto type = parse({"type", "hex"});
    ASSERT_TRUE(type);
    EXPECT_EQ(type->kind, CommandKind::Type);
    EXPECT_EQ(type->type, ValueType::Hex);

    for (const char *word : {"reopen", "stop", "start", "info", "quit", "exit", "help"}) {
        EXPECT_TRUE(parse({word})) << word;
        EXPECT_FALSE(parse({word, "x"})) << word;
    }
}

TEST(ScriptLine, ProgramOptionsAndCommandsDoNotBelongInAScript) {
    std::string error;
    EXPECT_FALSE(ParseScriptCommand({"read", "01V0001", "-c", "2"}, error));
    EXPECT_FALSE(ParseScriptCommand({"poll", "01V0001"}, error));
    EXPECT_FALSE(ParseScriptCommand({"script", "x"}, error));
    EXPECT_FALSE(ParseScriptCommand({"read", "01V0001", "-t"}, error));
    EXPECT_FALSE(ParseScriptCommand({"read", "01V0001", "-t", "long"}, error));
}

} // namespace
} // namespace orvhost
