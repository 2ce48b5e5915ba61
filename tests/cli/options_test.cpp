#include <gtest/gtest.h>

#include "options.h"

namespace kx::cli {
namespace {

using Action = Options::Action;
using std::chrono::milliseconds;

struct Case {
    std::vector<std::string_view> args;
    Action action;
    std::string file;
    std::optional<milliseconds> wait;
    std::string errorPart;  // part of the error for Invalid
};

TEST(Options, CommandLinesAreReadAsDocumented) {
    const Case cases[] = {
        {{"fw.dat"}, Action::Flash, "fw.dat", std::nullopt, ""},
        {{"--wait", "5", "fw.dat"}, Action::Flash, "fw.dat", milliseconds(5000), ""},
        {{"fw.dat", "--wait", "0.25"}, Action::Flash, "fw.dat", milliseconds(250), ""},
        {{"--wait=2.5", "fw.dat"}, Action::Flash, "fw.dat", milliseconds(2500), ""},
        {{"--wait", "0", "fw.dat"}, Action::Flash, "fw.dat", milliseconds(0), ""},
        {{"--wait", "1", "--wait", "3", "fw.dat"}, Action::Flash, "fw.dat", milliseconds(3000), ""},
        {{"--", "--odd-name.dat"}, Action::Flash, "--odd-name.dat", std::nullopt, ""},
        {{"-"}, Action::Flash, "-", std::nullopt, ""},
        {{"--check", "fw.dat"}, Action::Check, "fw.dat", std::nullopt, ""},
        {{"fw.dat", "--check"}, Action::Check, "fw.dat", std::nullopt, ""},
        {{"--check"}, Action::Invalid, "", std::nullopt, "no firmware file"},
        {{"--check", "--all", "fw.dat"}, Action::Invalid, "", std::nullopt, "file alone"},
        {{"--help"}, Action::Help, "", std::nullopt, ""},
        {{"fw.dat", "-h"}, Action::Help, "", std::nullopt, ""},
        {{"--wait", "x", "--help"}, Action::Invalid, "", std::nullopt, "'x'"},
        {{}, Action::Invalid, "", std::nullopt, "no firmware file"},
        {{"a.dat", "b.dat"}, Action::Invalid, "", std::nullopt, "one firmware file"},
        {{""}, Action::Invalid, "", std::nullopt, "empty"},
        {{"--wait"}, Action::Invalid, "", std::nullopt, "needs a number"},
        {{"fw.dat", "--wait"}, Action::Invalid, "", std::nullopt, "needs a number"},
        {{"--wait", "-1", "fw.dat"}, Action::Invalid, "", std::nullopt, "'-1'"},
        {{"--wait", "1e3", "fw.dat"}, Action::Invalid, "", std::nullopt, "'1e3'"},
        {{"--wait", "inf", "fw.dat"}, Action::Invalid, "", std::nullopt, "'inf'"},
        {{"--wait", "1.2.3", "fw.dat"}, Action::Invalid, "", std::nullopt, "'1.2.3'"},
        {{"--wait", "", "fw.dat"}, Action::Invalid, "", std::nullopt, "''"},
        {{"--wait", "604801", "fw.dat"}, Action::Invalid, "", std::nullopt, "604801"},
        {{"--wait=", "fw.dat"}, Action::Invalid, "", std::nullopt, "''"},
        {{"--verbose", "fw.dat"}, Action::Invalid, "", std::nullopt, "'--verbose'"},
        {{"-w", "3", "fw.dat"}, Action::Invalid, "", std::nullopt, "'-w'"},
        {{"--timeout", "-2", "fw.dat"}, Action::Invalid, "", std::nullopt, "--timeout takes"},
        {{"--timeout"}, Action::Invalid, "", std::nullopt, "--timeout needs"},
        {{"--timeoutx=1", "fw.dat"}, Action::Invalid, "", std::nullopt, "'--timeoutx=1'"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (auto arg : c.args) {
            line += "[" + std::string(arg) + "]";
        }
        SCOPED_TRACE(line);
        const Options options = ParseOptions(c.args);
        EXPECT_EQ(options.action, c.action);
        if (c.action == Action::Flash) {
            EXPECT_EQ(options.file, c.file);
            EXPECT_EQ(options.wait, c.wait);
        }
        if (c.action == Action::Invalid) {
            EXPECT_NE(options.error.find(c.errorPart), std::string::npos) << options.error;
        }
    }
}

TEST(Options, DongleSelectionAndTheProductionModes) {
    Options o = ParseOptions({"--serial", "KX000002", "--json", "--record=r.csv", "fw.dat"});
    EXPECT_EQ(o.action, Action::Flash);
    EXPECT_EQ(o.serial, "KX000002");
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.record, "r.csv");
    o = ParseOptions({"--location=0x102", "fw.dat"});
    EXPECT_EQ(o.location, 0x102u);
    EXPECT_EQ(ParseOptions({"--location", "258", "fw.dat"}).location, 258u);
    EXPECT_EQ(ParseOptions({"--all", "--wait", "2", "fw.dat"}).action, Action::All);
    EXPECT_EQ(ParseOptions({"fw.dat", "--station"}).action, Action::Station);
    EXPECT_EQ(ParseOptions({"--list"}).action, Action::List);
    // The retry of the dongles that failed: --all restricted to some serial numbers.
    o = ParseOptions({"--all", "--serial", "KX3,KX5", "fw.dat"});
    EXPECT_EQ(o.action, Action::All);
    EXPECT_EQ(o.serial, "KX3,KX5");
    // Every option that governs a transfer reaches each dongle's flasher.
    o = ParseOptions({"--all", "--wait", "2", "--timeout=0.5", "--record", "r.csv", "fw.dat"});
    EXPECT_EQ(TransferArguments(o),
              (std::vector<std::string>{"--wait", "2.000", "--timeout", "0.500"}));
    const std::pair<std::vector<std::string_view>, const char*> invalid[] = {
        {{"--location", "0x", "fw.dat"}, "location id"},
        {{"--location", "-3", "fw.dat"}, "location id"},
        {{"--location", "4294967296", "fw.dat"}, "location id"},
        {{"--serial", "", "fw.dat"}, "serial number"},
        {{"fw.dat", "--serial"}, "serial number"},
        {{"--serial", "A", "--location", "1", "fw.dat"}, "one of them"},
        {{"--all", "--location", "1", "fw.dat"}, "every dongle"},
        {{"--station", "--serial", "A", "fw.dat"}, "every dongle plugged in"},
        {{"--all", "--station", "fw.dat"}, "exclude"},
        {{"--list", "fw.dat"}, "no firmware file"},
        {{"--all"}, "no firmware file"},
        {{"--record", "", "fw.dat"}, "file name"},
    };
    for (const auto& [args, part] : invalid) {
        const Options bad = ParseOptions(args);
        EXPECT_EQ(bad.action, Action::Invalid) << part;
        EXPECT_NE(bad.error.find(part), std::string::npos) << bad.error;
    }
}

TEST(Options, TheTimeoutIsReadApartFromTheWait) {
    const Options both = ParseOptions({"--timeout=1.5", "--wait", "2", "fw.dat"});
    ASSERT_EQ(both.action, Options::Action::Flash) << both.error;
    EXPECT_EQ(both.timeout, std::chrono::milliseconds(1500));
    EXPECT_EQ(both.wait, std::chrono::milliseconds(2000));
    const Options none = ParseOptions({"fw.dat"});
    EXPECT_EQ(none.timeout, std::nullopt);
}

TEST(Options, HelpNamesTheUsageAndEveryExitStatus) {
    const std::string help = HelpText("kxupgrade");
    EXPECT_EQ(help.rfind("Usage: kxupgrade [OPTIONS] FILE.dat\n", 0), 0u);
    EXPECT_NE(help.find("\n  or:  kxupgrade --check FILE.dat\n"), std::string::npos);
    for (const char* option : {"--check", "--serial SN", "--location ID", "--list", "--all",
                               "--station", "--json", "--record FILE.csv"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    for (const char* status :
         {"\n    0 ", "\n    1 ", "\n    2 ", "\n    3 ", "\n    4 ", "\n    5 ", "\n  130 "}) {
        EXPECT_NE(help.find(status), std::string::npos) << status;
    }
}

}  // namespace
}  // namespace kx::cli
