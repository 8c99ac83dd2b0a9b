// The parts of keelvane-cli that need no drive: command line, JSON escaping, progress line,
// trace lines.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "catalog/Media.h"
#include "cli/CliOptions.h"
#include "cli/Json.h"
#include "cli/ProgressLine.h"
#include "cli/Trace.h"

namespace cli {
namespace {

struct GoodLine {
    std::vector<std::string> args;
    Command command;
    std::string image;
    bool keepOpen, noEject, noVerify, json, trace;
    std::vector<std::string> drives;
    DriveSelector::Kind driveKind;
    char letter;
    int index;
};

TEST(CliOptions, AcceptsEveryCommandWithItsOptionsAnywhere) {
    using K = DriveSelector::Kind;
    const std::vector<GoodLine> cases = {
        {{"drives"}, Command::Drives, "", false, false, false, false, false, {}, K::Default, 0, 0},
        {{"--json", "burn"}, Command::Burn, "", false, false, false, true, false, {}, K::Default, 0, 0},
        {{"burn", "a.iso", "--no-eject", "--no-verify", "--keep-session-open"}, Command::Burn, "a.iso",
         true, true, true, false, false, {}, K::Default, 0, 0},
        {{"--virtual-drive", "/t/a.cue,speed=4", "--virtual-drive=/t/b.cue", "--drive", "e:", "toc"},
         Command::Toc, "", false, false, false, false, false, {"/t/a.cue,speed=4", "/t/b.cue"}, K::Letter, 'E', 0},
        {{"eject", "--drive=1", "--trace"}, Command::Eject, "", false, false, false, false, true, {}, K::Index, 0, 1},
        {{"--drive", "F:\\", "blank"}, Command::Blank, "", false, false, false, false, false, {}, K::Letter, 'F', 0},
        {{"burn", "--", "-odd-name.iso"}, Command::Burn, "-odd-name.iso", false, false, false, false, false, {},
         K::Default, 0, 0},
        {{"dvd-structure"}, Command::DvdStructure, "", false, false, false, false, false, {}, K::Default, 0, 0},
        {{"--json", "image"}, Command::Image, "", false, false, false, true, false, {}, K::Default, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const ParseResult r = ParseCommandLine(c.args);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_EQ(r.options.command, c.command);
        EXPECT_EQ(r.options.image, c.image);
        EXPECT_EQ(r.options.keepSessionOpen, c.keepOpen);
        EXPECT_EQ(r.options.noEject, c.noEject);
        EXPECT_EQ(r.options.noVerify, c.noVerify);
        EXPECT_EQ(r.options.json, c.json);
        EXPECT_EQ(r.options.trace, c.trace);
        EXPECT_EQ(r.options.virtualDrives, c.drives);
        EXPECT_EQ(r.options.drive.kind, c.driveKind);
        if (c.driveKind == K::Letter) {
            EXPECT_EQ(r.options.drive.letter, c.letter);
        }
        if (c.driveKind == K::Index) {
            EXPECT_EQ(r.options.drive.index, c.index);
        }
    }
}

TEST(CliOptions, SeveralTargetsInTheOrderGiven) {
    ParseResult r = ParseCommandLine({"burn", "--drive", "E,0,/dev/sdb,f:"});
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(r.options.drives.size(), 4u);
    EXPECT_TRUE(r.options.SeveralTargets());
    EXPECT_EQ(r.options.drives[0].letter, 'E');
    EXPECT_EQ(r.options.drives[1].kind, DriveSelector::Kind::Index);
    EXPECT_EQ(r.options.drives[2].path, "/dev/sdb");
    EXPECT_EQ(r.options.drives[3].letter, 'F');
    EXPECT_EQ(r.options.drive.letter, 'E') << "the first is the one a single-target path sees";

    r = ParseCommandLine({"blank", "--drive", "all"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(r.options.allDrives);
    EXPECT_TRUE(r.options.drives.empty());
    r = ParseCommandLine({"burn", "--drive", "all,/dev/sdc"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(r.options.allDrives);
    ASSERT_EQ(r.options.drives.size(), 1u);
    r = ParseCommandLine({"toc", "--drive", "D"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_FALSE(r.options.SeveralTargets());
}

TEST(CliOptions, BurnAudioTakesItsFilesInOrder) {
    ParseResult r = ParseCommandLine({"burn-audio", "b.wav", "--force", "a.wav", "--no-eject"});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.options.command, Command::BurnAudio);
    EXPECT_EQ(r.options.waveFiles, (std::vector<std::string>{"b.wav", "a.wav"}));
    EXPECT_TRUE(r.options.force);
    EXPECT_TRUE(r.options.noEject);
    r = ParseCommandLine({"burn-audio", "x.wav"});
    EXPECT_FALSE(r.options.force);
    EXPECT_FALSE(ParseCommandLine({"burn-audio"}).ok());
    EXPECT_FALSE(ParseCommandLine({"toc", "--force"}).ok());
    EXPECT_FALSE(ParseCommandLine({"burn-audio", "a.wav", "--keep-session-open"}).ok());
}

TEST(CliOptions, BurnAndBlankChoices) {
    const std::string sum(64, 'a');
    struct Case {
        std::vector<std::string> args;
        bool simulate, speedGiven;
        unsigned speed;
        bool fast, force;
        std::string sha256;
    };
    const std::vector<Case> cases = {
        {{"burn", "a.iso"}, false, false, 0, false, false, ""},
        {{"burn", "--simulate", "--speed", "8", "a.iso"}, true, true, 8, false, false, ""},
        {{"burn", "--speed=max", "--force", "--sha256", sum}, false, true, 0, false, true, sum},
        {{"burn-audio", "--simulate", "a.wav", "--speed=24"}, true, true, 24, false, false, ""},
        {{"blank", "--fast", "--speed", "4"}, false, true, 4, true, false, ""},
        {{"blank"}, false, false, 0, false, false, ""},
        {{"load"}, false, false, 0, false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + std::to_string(c.args.size()));
        const ParseResult r = ParseCommandLine(c.args);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_EQ(r.options.simulate, c.simulate);
        EXPECT_EQ(r.options.speedGiven, c.speedGiven);
        EXPECT_EQ(r.options.speed, c.speed);
        EXPECT_EQ(r.options.fastBlank, c.fast);
        EXPECT_EQ(r.options.force, c.force);
        EXPECT_EQ(r.options.sha256, c.sha256);
    }
    EXPECT_EQ(ParseCommandLine({"load"}).options.command, Command::Load);
}

TEST(CliOptions, WriteModeTakesDataOrCdda) {
    EXPECT_EQ(ParseCommandLine({"write-mode", "data"}).options.writeMode, WriteMode::Data);
    EXPECT_EQ(ParseCommandLine({"write-mode", "cdda"}).options.writeMode, WriteMode::Cdda);
}

TEST(CliOptions, RefusesMalformedCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--json"},
        {"frobnicate"},
        {"burn", "a.iso", "b.iso"},
        {"toc", "extra"},
        {"write-mode"},
        {"write-mode", "audio"},
        {"write-mode", "data", "cdda"},
        {"toc", "--no-eject"},
        {"blank", "--no-verify"},
        {"--drive"},
        {"--drive", "12x", "toc"},
        {"--drive", "-1", "toc"},
        {"--drive", "EF", "toc"},
        {"--virtual-drive"},
        {"--virtual-drive", ",media=cd-rw", "toc"},
        {"--bogus", "toc"},
        {"--json=yes", "toc"},
        {"--no-eject=1", "burn"},
        {"image", "a.iso"},
        {"image", "--no-eject"},
        {"blank", "--simulate"},
        {"toc", "--speed", "8"},
        {"burn", "--speed", "0"},
        {"burn", "--speed", "fast"},
        {"burn", "--speed", "8x"},
        {"burn", "--speed"},
        {"burn", "--fast"},
        {"burn", "--sha256", "abc"},
        {"burn", "--sha256", std::string(63, 'a') + "g"},
        {"burn-audio", "a.wav", "--sha256", std::string(64, 'a')},
        {"burn", "--simulate=yes"},
        {"burn", "--simulate", "--blank-as-needed"},
        {"burn-audio", "a.wav", "--blank-as-needed", "--simulate"},
        {"load", "now"},
        // Several targets are for the burn and the blank only, each named once.
        {"toc", "--drive", "D,E"},
        {"eject", "--drive", "all"},
        {"burn", "--drive", "D,d:"},
        {"burn", "--drive", "D,"},
        {"burn", "--drive", "D,everything"},
        {"blank", "--drive", "D,/dev/sdb"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        const ParseResult r = ParseCommandLine(args);
        EXPECT_FALSE(r.ok());
    }
}

TEST(CliOptions, HelpAndVersionNeedNoCommand) {
    EXPECT_TRUE(ParseCommandLine({"--help"}).options.help);
    EXPECT_TRUE(ParseCommandLine({"-V"}).options.version);
    const std::string usage = UsageText("keelvane-cli");
    for (const char* code : {"  0 ", "  1 ", "  2 ", "  3 ", "  4 ", "  5 ", "  6 ", "  7 ", "  8 ", "  9 ", "  130 "})
        EXPECT_NE(usage.find(code), std::string::npos) << code;
    // Every command is listed among the commands, none under another heading.
    const std::size_t commands = usage.find("\nCommands:\n"), rescue = usage.find("\nRescue image:\n");
    ASSERT_LT(commands, rescue);
    const std::string commandSection = usage.substr(commands, rescue - commands);
    for (const char* command : {"drives", "burn [IMAGE]", "burn-audio", "blank", "capabilities", "speeds",
                                "writer-params", "toc", "dvd-structure", "buffer", "write-mode data|cdda", "eject",
                                "load", "disc-info", "image"}) {
        EXPECT_NE(commandSection.find("\n  " + std::string(command) + " "), std::string::npos) << command;
        EXPECT_EQ(usage.find("\n  " + std::string(command) + " ", rescue), std::string::npos) << command;
    }
    for (const char* option : {"--simulate", "--speed N|max", "--fast", "--sha256 HEX"})
        EXPECT_NE(commandSection.find(option), std::string::npos) << option;
    for (const char* folder : {"$XDG_DATA_HOME/keelvane/", "../share/keelvane/"})
        EXPECT_NE(usage.find(folder, rescue), std::string::npos) << folder;
    // The virtual writer's media and the 1x speeds are the catalogue's, wrapped as they always were.
    for (const kvcat::Medium& m : kvcat::Media())
        EXPECT_TRUE(!m.key || usage.find(std::string(m.key) + "|") != std::string::npos) << m.name;
    EXPECT_NE(usage.find("(CD 176.4 kB/s, DVD 1,385\n                           kB/s, BD 4,495 kB/s)"), std::string::npos);
}

TEST(Json, QuotesEveryByteIntoValidJson) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"D:\\  [ X]", "\"D:\\\\  [ X]\""},
        {"\r\n\t\b\f", "\"\\r\\n\\t\\b\\f\""},
        {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbf", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbf\""},
        // Not UTF-8: a lone Latin-1 byte, a truncated sequence, an overlong slash, a surrogate.
        {"\xe9t\xe9", "\"\\u00e9t\\u00e9\""},
        {"x\xe2\x82", "\"x\\u00e2\\u0082\""},
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(JsonQuote(in), out);
}

TEST(Json, ObjectsKeepOrderAndTypes) {
    JsonObject o;
    o.Add("s", "x").Add("i", -3).Add("b", true).AddNull("n").Add("d", 2.5).Add("l", std::vector<std::string>{"a", "\""});
    o.AddRaw("r", "[1,2]");
    EXPECT_EQ(o.Str(), R"({"s":"x","i":-3,"b":true,"n":null,"d":2.500,"l":["a","\""],"r":[1,2]})");
    EXPECT_EQ(JsonObject().Str(), "{}");
    EXPECT_EQ(JsonObject().Add("nan", std::numeric_limits<double>::quiet_NaN()).Str(), R"({"nan":null})");
}

TEST(ProgressLine, ShowsPercentSectorBuffersSpeedAndTimeLeft) {
    ProgressSample s;
    s.percent = 45;
    s.sector = 1499;
    s.total = 3000;
    s.driveBuffer = 80;
    s.fileBuffer = 7;
    // 16x is 1200 blocks/s; 1500 blocks remain after sector 1499: 1.25 s.
    s.blocksPerSecond = 1200;
    EXPECT_EQ(FormatProgressLine(s), " 45%  sector 1499 of 3000  buffer  80%  read-ahead   7%   16.0x  0:01 left");
    s.blocksPerSecond = 0;
    EXPECT_EQ(FormatProgressLine(s), " 45%  sector 1499 of 3000  buffer  80%  read-ahead   7%    --.-x  --:-- left");
    // A stick has no x: 10,000 blocks a second are 20.5 MB/s.
    ProgressSample stick;
    stick.percent = 50;
    stick.sector = 4999;
    stick.total = 10000;
    stick.megabytes = true;
    EXPECT_EQ(FormatProgressLine(stick), " 50%  sector 4999 of 10000   --.- MB/s  --:-- left");
    stick.blocksPerSecond = 10000;
    EXPECT_EQ(FormatProgressLine(stick), " 50%  sector 4999 of 10000   20.5 MB/s  0:01 left");
    ProgressSample blank;
    blank.percent = 100;
    EXPECT_EQ(FormatProgressLine(blank), "100%");
}

TEST(Trace, FormatsCdbDirectionStatusAndSense) {
    win::ScsiRequest r;
    const std::uint8_t write10[10] = {0x2a, 0, 0, 0, 0, 0x10, 0, 0, 1, 0};
    std::copy(std::begin(write10), std::end(write10), r.cdb);
    r.cdbLength = 10;
    r.direction = win::ScsiRequest::Direction::Out;
    r.dataLength = 2048;
    EXPECT_EQ(FormatTraceLine('E', r, true), "E: 2a 00 00 00 00 10 00 00 01 00  out 2048  GOOD");

    r.status = 2;
    r.sense[0] = 0x70;
    r.sense[2] = 0x03;
    r.sense[12] = 0x0c;
    r.sense[13] = 0x00;
    r.senseLength = 18;
    EXPECT_EQ(FormatTraceLine('E', r, true),
              "E: 2a 00 00 00 00 10 00 00 01 00  out 2048  CHECK CONDITION  sense 3/0c/00 MEDIUM ERROR");

    // A short parameter list is shown; WRITE data is not, whatever its length.
    win::ScsiRequest select;
    const std::uint8_t modeSelect[10] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, 4, 0};
    std::copy(std::begin(modeSelect), std::end(modeSelect), select.cdb);
    select.cdbLength = 10;
    select.direction = win::ScsiRequest::Direction::Out;
    std::uint8_t list[4] = {0x05, 0x32, 0x51, 0x04};
    select.data = list;
    select.dataLength = 4;
    EXPECT_EQ(FormatTraceLine('E', select, true), "E: 55 10 00 00 00 00 00 00 04 00  out 4  GOOD  params 05 32 51 04");
    r.data = list;
    r.dataLength = 4;
    r.status = 0;
    r.senseLength = 0;
    EXPECT_EQ(FormatTraceLine('E', r, true), "E: 2a 00 00 00 00 10 00 00 01 00  out 4  GOOD");

    win::ScsiRequest d;   // descriptor format sense
    d.cdb[0] = 0x00;
    d.cdbLength = 6;
    d.status = 2;
    d.sense[0] = 0x72;
    d.sense[1] = 0x02;
    d.sense[2] = 0x3a;
    d.sense[3] = 0x01;
    d.senseLength = 8;
    EXPECT_EQ(FormatTraceLine('D', d, true), "D: 00 00 00 00 00 00  none 0  CHECK CONDITION  sense 2/3a/01 NOT READY");

    win::ScsiRequest in;
    in.cdb[0] = 0x12;
    in.cdb[4] = 100;
    in.cdbLength = 6;
    in.direction = win::ScsiRequest::Direction::In;
    in.dataLength = 100;
    in.residual = 64;
    EXPECT_EQ(FormatTraceLine('D', in, false), "D: 12 00 00 00 64 00  in 100 (moved 36)  transport failure");

    in.status = 2;   // CHECK CONDITION without sense bytes, and a bogus CDB length
    in.cdbLength = 200;
    const std::string line = FormatTraceLine('D', in, true);
    EXPECT_NE(line.find("CHECK CONDITION  no sense data"), std::string::npos) << line;
}

}  // namespace
}  // namespace cli
