// The firmware file end to end: read once at the start whatever happens to it on disk,
// any line ends, and a file that fails its check refused before the dongle sees a byte.
#include <algorithm>
#include <filesystem>
#include <functional>

#include "front_end_scenarios.h"
#include "upgrade_fixture.h"

namespace kx::test {
namespace {

bool Completed(const RecordingWindow& window) {
    return window.Transfer() == "Transfer completed";
}

// The file as its CR LF lines say, with every CR LF replaced by `lineEnd`.
std::string WithLineEnds(const std::string& crlf, const std::string& lineEnd) {
    std::string out;
    for (std::size_t at = 0; at < crlf.size();) {
        const std::size_t end = crlf.find("\r\n", at);
        out += crlf.substr(at, end - at) + lineEnd;
        at = end + 2;
    }
    return out;
}

class FileChangedDuringTheTransfer : public UpgradeTest {
  protected:
    // Starts a transfer, lets `change` act on the file once the dongle is in its second
    // stage, and checks that the wire and the flash carry the file as it was at the start.
    void SendWhile(const std::function<void(const std::string& path)>& change) {
        // Larger than any read buffer: nothing of it may come from the disk late.
        const std::vector<std::uint8_t> image = TestImage(32 * 1024, 11);
        const std::string file = FirmwareFile(image, kFlashBase, kDeviceId);
        const std::string path = WriteFile("firmware.dat", file);
        chooserAnswer = path;
        ASSERT_TRUE(RunUntil([] { return kxsim_device_state() == KXSIM_STATE_BULK; }));
        ASSERT_TRUE(dlg->Transferring());
        change(path);

        ASSERT_TRUE(RunUntil([&] { return Completed(window); })) << window.Log();
        const std::vector<std::string> expected = ExpectedPackets(file);
        const std::vector<WirePacket> packets = Packets();
        ASSERT_EQ(packets.size(), expected.size());
        for (std::size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(packets[i].bytes, expected[i]) << "packet " << i;
        }
        const std::vector<std::uint8_t> flash = Flash();
        ASSERT_GE(flash.size(), image.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        EXPECT_EQ(window.ProgressPos(), file.size());
    }
};

TEST_F(FileChangedDuringTheTransfer, ShortenedOnDiskTheWholeImageStillGoesOut) {
    SendWhile([](const std::string& path) { std::filesystem::resize_file(path, 100); });
}

TEST_F(FileChangedDuringTheTransfer, RewrittenOnDiskTheImageOfTheStartStillGoesOut) {
    SendWhile([](const std::string& path) {
        // Written as an editor does, without asking for the lock.
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            << FirmwareFile(TestImage(32 * 1024, 12), kFlashBase, kDeviceId);
    });
}

// A .dat with LF line ends (from a Unix checkout) or CR line ends puts on the wire exactly
// what its CR LF twin does, and the bar still ends at the file's length.
class LineEndTwins : public UpgradeTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(LineEndTwins, SendTheSameBytesAsTheCrLfFile) {
    const std::vector<std::uint8_t> image = TestImage(4 * 1024 + 24, 5);
    const std::string crlf = FirmwareFile(image, kFlashBase, kDeviceId);
    const std::string file = WithLineEnds(crlf, GetParam());
    chooserAnswer = WriteFile("firmware.dat", file);
    ASSERT_TRUE(RunUntil([&] { return Completed(window); })) << window.Log();

    const std::vector<std::string> expected = ExpectedPackets(crlf);
    const std::vector<WirePacket> packets = Packets();
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].bytes, expected[i]) << "packet " << i;
    }
    const std::vector<std::uint8_t> flash = Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(window.ProgressMax(), file.size());
    EXPECT_EQ(window.ProgressPos(), file.size());
}

INSTANTIATE_TEST_SUITE_P(LineEnds, LineEndTwins, ::testing::Values("\r\n", "\n", "\r"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             const std::string end = param.param;
                             return end == "\r\n" ? std::string("CrLf")
                                    : end == "\n" ? std::string("Lf")
                                                  : std::string("Cr");
                         });

// The dongle erases its flash on the switch record: a file with a bad checksum is refused
// before anything is written, the flash keeps the firmware it had, and the window says
// why with EXIT enabled.
TEST_F(UpgradeTest, AFileWithABadChecksumWritesNothingAndTheFlashKeepsItsFirmware) {
    const std::vector<std::uint8_t> image = TestImage(1024, 3);
    chooserAnswer = WriteFile("good.dat", FirmwareFile(image, kFlashBase, kDeviceId));
    ASSERT_TRUE(RunUntil([&] { return Completed(window); }));
    const std::vector<std::uint8_t> before = Flash();
    const std::size_t packetsBefore = kxsim_packet_count();

    std::string bad = FirmwareFile(TestImage(1024, 4), kFlashBase, kDeviceId);
    std::size_t line7 = 0;
    for (int i = 0; i < 7; ++i) {
        line7 = bad.find("\r\n", line7) + 2;
    }
    char& lastDigit = bad[line7 - 3];  // the 7th line's last checksum digit
    lastDigit = lastDigit == '0' ? '1' : '0';
    const std::string path = WriteFile("bad.dat", bad);
    chooserAnswer = path;
    kxsim_unplug();  // the dongle starts afresh and asks for a file again
    kxsim_plug();
    ASSERT_TRUE(RunUntil([&] { return !dlg->FileRefusal().empty(); })) << window.Log();

    EXPECT_EQ(dlg->FileRefusal().rfind(path + ":7: checksum mismatch: ", 0), 0u)
        << dlg->FileRefusal();
    EXPECT_NE(window.Log().find("FILE REFUSED: " + dlg->FileRefusal() + "\r\n"), std::string::npos)
        << window.Log();
    EXPECT_FALSE(dlg->Transferring());
    EXPECT_TRUE(window.ExitEnabled());
    EXPECT_EQ(kxsim_packet_count(), packetsBefore);
    EXPECT_EQ(Flash(), before);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), Flash().begin()));
    // Refused means closed: a writer may lock the file again.
    LockedWriter writer(path);
    ASSERT_TRUE(writer.Opened());
    EXPECT_TRUE(writer.Lock());
}

// Files made of good records that are not whole: refused before the dongle sees a byte,
// so the flash keeps its firmware (it is not even erased), with the line and the reason.
struct NotWhole {
    const char* name;
    std::function<std::string(const std::string& good)> make;
    const char* refusal;  // after "PATH"
};

void PrintTo(const NotWhole& c, std::ostream* os) {
    *os << c.name;
}

// The lines of a CR LF file, each with its line end.
std::vector<std::string> Lines(const std::string& file) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < file.size();) {
        const std::size_t end = file.find("\r\n", at) + 2;
        lines.push_back(file.substr(at, end - at));
        at = end;
    }
    return lines;
}

class NotWholeFile : public UpgradeTest, public ::testing::WithParamInterface<NotWhole> {};

TEST_P(NotWholeFile, IsRefusedAndTheFlashIsNotErased) {
    // 2 KiB in 128 S3 records: the S0 header, the Z line, lines 3 to 130, the S7 on 131.
    const std::string good = FirmwareFile(TestImage(2048, 21), kFlashBase, kDeviceId);
    ASSERT_EQ(Lines(good).size(), 131u);
    const std::vector<std::uint8_t> before = Flash();
    ASSERT_FALSE(
        std::all_of(before.begin(), before.end(), [](std::uint8_t b) { return b == 0xFF; }));
    const std::string path = WriteFile("firmware.dat", GetParam().make(good));
    chooserAnswer = path;
    // The file was asked for and no transfer runs: refused, or (were it taken) sent to its end.
    ASSERT_TRUE(RunUntil([&] { return !requests.empty() && !dlg->Transferring(); }))
        << window.Log();

    EXPECT_EQ(dlg->FileRefusal(), path + GetParam().refusal);
    EXPECT_NE(window.Log().find("FILE REFUSED: " + path + GetParam().refusal + "\r\n"),
              std::string::npos)
        << window.Log();
    EXPECT_FALSE(dlg->Transferring());
    EXPECT_TRUE(window.ExitEnabled());
    EXPECT_EQ(window.Transfer(), "FILE REFUSED: firmware.dat" + std::string(GetParam().refusal));
    EXPECT_EQ(kxsim_packet_count(), 0u);
    EXPECT_NE(kxsim_device_state(), KXSIM_STATE_BULK);
    EXPECT_EQ(Flash(), before);
}

const NotWhole kNotWhole[] = {
    // A download that stopped at a line end, half its S3 records in.
    {"CutShortAtALineEnd",
     [](const std::string& good) {
         const std::vector<std::string> lines = Lines(good);
         std::string cut;
         for (std::size_t i = 0; i < 2 + 64; ++i) {
             cut += lines[i];
         }
         return cut;
     },
     ":66: no termination record (S7/S8/S9): the file may have been cut short"},
    {"OnlyTheHeaderAndTheSwitchLine",
     [](const std::string& good) {
         const std::vector<std::string> lines = Lines(good);
         return lines[0] + lines[1];
     },
     ": no data records (S1/S2/S3): the file holds nothing to write"},
    // The good file without its switch line: the dongle would never erase and would refuse
    // every data record, with no reply in its command stage to show it.
    {"WithoutItsSwitchLine",
     [](const std::string& good) {
         const std::vector<std::string> lines = Lines(good);
         std::string file = lines[0];
         for (std::size_t i = 2; i < lines.size(); ++i) {
             file += lines[i];
         }
         return file;
     },
     ":130: no switch record (Z line): the dongle would take none of its data"},
    // Two good files, the same image built twice, one after the other.
    {"TwoGoodFilesRunTogether", [](const std::string& good) { return good + good; },
     ":132: record after the termination record of line 131: the file may be two files run "
     "together"},
};
INSTANTIATE_TEST_SUITE_P(Files, NotWholeFile, ::testing::ValuesIn(kNotWhole),
                         [](const ::testing::TestParamInfo<NotWhole>& param) {
                             return std::string(param.param.name);
                         });

TEST_F(UpgradeTest, AZeroLengthFileIsRefusedWithoutWriting) {
    const std::string path = WriteFile("empty.dat", "");
    chooserAnswer = path;
    ASSERT_TRUE(RunUntil([&] { return !dlg->FileRefusal().empty(); }));
    EXPECT_EQ(dlg->FileRefusal(), path + ": no records");
    EXPECT_EQ(kxsim_packet_count(), 0u);
    EXPECT_EQ(window.Transfer(), "FILE REFUSED: empty.dat: no records");
    EXPECT_EQ(dlg->Outcome().state, TransferState::Refused);
    EXPECT_EQ(window.ProgressPos(), 0u);
    EXPECT_TRUE(window.ExitEnabled());
    EXPECT_FALSE(dlg->Transferring());
}

// The front end's duties as the headless window (and with it kxupgrade) carries them out.
class HeadlessProbe : public FrontEndProbe {
  public:
    HeadlessProbe(RecordingWindow& window, CUpgradeDlg& dlg) : m_window(window), m_dlg(dlg) {}
    CUpgradeDlg& Dialog() override { return m_dlg; }
    bool RunUntil(const std::function<bool()>& done, int ms) override {
        return m_window.RunUntil(done, std::chrono::milliseconds(ms));
    }
    std::string TransferLine() override { return m_window.Transfer(); }
    std::string LogShown() override { return m_window.Log(); }
    void AnswerChoosers(std::vector<std::string> paths) override {
        m_window.chooser = [this, paths](const FileChooserRequest&) -> std::optional<std::string> {
            const std::size_t next = static_cast<std::size_t>(m_choosers++);
            return next < paths.size() ? std::optional<std::string>(paths[next]) : std::nullopt;
        };
    }
    int Choosers() const override { return m_choosers; }
    void WhileEachBoxIsOpen(std::function<void(const std::string&)> whileOpen) override {
        m_window.messageBox = [this, whileOpen](const std::string& text) {
            if (!m_inBox) {
                m_inBox = true;
                whileOpen(text);  // the box is answered when this returns
                m_inBox = false;
            }
            ++m_answered;
        };
    }
    int BoxesAnswered() const override { return m_answered; }
    WindowSurface& Surface() override { return m_window; }
    bool Start() override { return m_window.Host().Start(); }
    void End(bool byExit) override { m_window.Host().End(byExit); }
    std::string SessionPath() override { return m_window.Host().Session().Path(); }

  private:
    RecordingWindow& m_window;
    CUpgradeDlg& m_dlg;
    int m_choosers = 0;
    bool m_inBox = false;
    int m_answered = 0;
};

TEST_F(UpgradeTest, ARefusedFilesBoxIsAnsweredBeforeTheNextAnnouncementIsTaken) {
    HeadlessProbe probe(window, *dlg);
    for (const std::string& fault : RefusedFileThenGoodFile(probe, Folder())) {
        ADD_FAILURE() << fault;
    }
    EXPECT_EQ(dlg->Outcome().state, TransferState::Completed);
    EXPECT_TRUE(window.Log().starts_with(std::string(kDeviceName) + "\r\n")) << window.Log();
}

// A window whose host makes the dialog and starts it, as kxupgrade's does, with a session
// log of its own; the fixture's dialog lets the dongle go first.
TEST_F(UpgradeTest, TheFrontEndHostOrdersStartUpAndEnd) {
    dlg->OnEndDialog();
    const char* const saved = std::getenv(kStateFolderVariable);
    const std::string savedValue = saved != nullptr ? saved : "";
    SetEnv(kStateFolderVariable, Folder() + "/state");
    {
        RecordingWindow front;
        HeadlessProbe probe(front, front.Host().MakeDialog(front, platform::kDriverLibraryName));
        for (const std::string& fault : StartUpAndEnd(probe, true)) {
            ADD_FAILURE() << fault;
        }
    }
    if (saved != nullptr) {
        SetEnv(kStateFolderVariable, savedValue);
    } else {
        UnsetEnv(kStateFolderVariable);
    }
}

TEST_F(UpgradeTest, BoxesFromAnotherThreadAreShownOnTheWindowsThread) {
    HeadlessProbe probe(window, *dlg);
    for (const std::string& fault : BoxesFromAnotherThread(probe)) {
        ADD_FAILURE() << fault;
    }
}

}  // namespace
}  // namespace kx::test
