// Trial boots from the running system's side, against the UBI simulator and a boot environment
// in a file as libubootenv reads it: arming, confirming, the fallback made permanent, and a
// power cut at every step of them. What the boot loader decides is real U-Boot's, in the U-Boot
// and kernel tests.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "ImageBuilder.h"
#include "common/BootEnvironment.h"
#include "support/InstallerBoard.h"
#include "support/TempDirTest.h"

namespace {

using namespace InstallerBoard;

const Generation& s_old = s_current;
const Generation& s_new = s_update;

Bytes imageOf(const Generation& g) {
    return ImageBuilder().block(1, g.kernel).block(3, g.devicetree).block(4, g.rootfs).build();
}

class TrialTest : public TempDirTest {
public:
    void SetUp() override {
        TempDirTest::SetUp();
        m_config = path("fw_env.config");
        m_env = path("env.bin");
        m_cmdline = path("cmdline");
        fresh(true);
    }

    // A board with the old set current, or none, and an environment U-Boot saved.
    void fresh(bool withOld) {
        std::ofstream(m_config) << m_env << " 0x0 0x2000\n";
        writeEnvironment({{"bootcmd", "run vexil"}});
        std::filesystem::remove(m_cmdline);
        m_board = std::make_unique<Sim::Simulator>();
        makeBoard(*m_board);
        // Installed without a trial, with its manifest, so a rollback can check it.
        if (withOld) {
            ASSERT_EQ(install(*m_board, imageOf(s_old)).status, 0);
        }
    }

    // The environment as U-Boot saves it: a CRC-32 of the rest, then NUL-ended pairs.
    void writeEnvironment(const std::map<std::string, std::string>& variables,
                          bool goodCrc = true) {
        std::string data;
        for (const auto& [name, value] : variables) {
            data += name + "=" + value + '\0';
        }
        data.resize(0x2000 - 4, '\0');
        uint32_t crc =
            uint32_t(crc32(0, reinterpret_cast<const uint8_t*>(data.data()), uInt(data.size())));
        crc ^= goodCrc ? 0 : 1;
        std::ofstream file(m_env, std::ios::binary);
        file.write(reinterpret_cast<const char*>(&crc), 4);
        file << data;
    }
    std::string variable(const std::string& name) {
        const BootEnvironment::Environment environment(m_config);
        std::string value;
        return environment.get(name, value) ? value : "(unset)";
    }
    // This boot as the boot script makes it: a trial boot counts a try down, a fallback comes
    // when none is left.
    void booted(const std::string& how) {
        std::ofstream(m_cmdline) << "console=ttyS0 root=ubi0:rootfs vexil.boot=" << how << "\n";
        if (how != "good") {
            writeEnvironment(
                {{"bootcmd", "run vexil"}, {"vexil_tries", how == "trial" ? "2" : "0"}});
        }
    }
    Outcome slots(const std::vector<std::string>& args) {
        return runSlots(*m_board, args, {m_config, m_cmdline});
    }
    Outcome installNew() { return install(*m_board, imageOf(s_new), "/nonexistent", m_config); }
    bool there(const char* name) { return find(m_board->volumes(0), name) != nullptr; }

    std::unique_ptr<Sim::Simulator> m_board;
    std::string m_config;
    std::string m_env;
    std::string m_cmdline;
};

// An install arms a trial through the environment, or stops before anything is written when it
// cannot; without a configuration the board installs as it always did.
TEST_F(TrialTest, InstallsPutTheNewSetOnTrial) {
    const std::string unusable =
        "install stopped: the boot environment cannot be used, so no set could be put on trial: ";
    const struct {
        const char* name;
        std::function<void(TrialTest&)> prepare;
        int status;
        const char* tries; // vexil_tries afterwards
        bool onTrial;
        std::string lastLine; // of standard output when refused, of standard error otherwise
    } cases[] = {
        // clang-format off
        {"armed", {}, 0, "3", true, ""},
        {"vexil_max_tries", [](TrialTest& t) { t.writeEnvironment({{"vexil_max_tries", "a"}}); }, 0, "a", true, ""},
        {"no configuration", [](TrialTest& t) { std::filesystem::remove(t.m_config); }, 0, "(unset)", false, ""},
        {"bad vexil_max_tries", [](TrialTest& t) { t.writeEnvironment({{"vexil_max_tries", "0x5"}}); }, 7, "(unset)", false,
         unusable + "vexil_max_tries is '0x5'; it must be 1 to ff, in hex digits as U-Boot's setexpr reads them"},
        {"vexil_max_tries above ff", [](TrialTest& t) { t.writeEnvironment({{"vexil_max_tries", "100"}}); }, 7, "(unset)", false, unusable + "vexil_max_tries is '100'"},
        {"environment's CRC wrong", [](TrialTest& t) { t.writeEnvironment({}, false); }, 7, "(unset)", false, unusable + "the environment "},
        {"a set still on trial", [](TrialTest& t) { t.m_board->addVolume(0, "manifest_trial", Sim::kStatic, 4096, Bytes(118)); }, 7, "(unset)", true,
         "install stopped: the current set is still on trial; confirm it (vexil-slots confirm) or go back (vexil-slots rollback) first"},
        {"nothing to fall back to", [](TrialTest& t) { t.fresh(false); }, 0, "(unset)", false,
         "VexilImageInstaller: no whole set to fall back to: the new set goes in without a trial"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh(true);
        if (c.prepare) {
            c.prepare(*this);
        }
        const auto before = m_board->volumes(0).size();
        const Outcome outcome = installNew();
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(variable("vexil_tries"), c.tries);
        EXPECT_EQ(there("manifest_trial"), c.onTrial);
        const std::string& said = c.status == 0 ? outcome.err : outcome.out;
        EXPECT_EQ(said.substr(said.rfind('\n', said.size() - 2) + 1).substr(0, c.lastLine.size()),
                  c.lastLine);
        if (c.status != 0) {
            EXPECT_EQ(m_board->volumes(0).size(), before) << "nothing written";
        } else {
            EXPECT_TRUE(holds(*m_board, s_new));
        }
    }
}

// Booted as the set on trial, confirm keeps it; booted as the fallback, confirm and rollback
// make the fallback permanent, so the names match what runs again.
TEST_F(TrialTest, ConfirmOrFallBack) {
    ASSERT_EQ(installNew().status, 0);
    booted("trial");
    EXPECT_EQ(slots({"status"}).out.substr(slots({"status"}).out.rfind("boot: ")),
              "boot: on trial, 2 tries left; booted as trial\n");
    const Outcome confirmed = slots({"confirm"});
    EXPECT_EQ(confirmed.status, 0);
    EXPECT_EQ(confirmed.out.rfind("confirmed: the current generation (", 0), 0u);
    EXPECT_TRUE(there("manifest") && !there("manifest_trial") && holds(*m_board, s_new));
    EXPECT_EQ(slots({"confirm"}).out, "confirmed: nothing is on trial; the current set stays\n");

    for (const char* command : {"confirm", "rollback"}) {
        SCOPED_TRACE(command);
        fresh(true);
        ASSERT_EQ(installNew().status, 0);
        booted("fallback");
        EXPECT_NE(
            slots({"status", "--json"}).out.find("\"booted\": \"fallback\", \"fellBack\": true"),
            std::string::npos);
        EXPECT_EQ(slots({command}).status, std::string(command) == "confirm" ? 5 : 0);
        EXPECT_TRUE(holds(*m_board, s_old) && holds(*m_board, s_new, "_prev"));
        EXPECT_TRUE(manifestDescribes(*m_board, s_new, "_prev") && !there("manifest_trial"));
        // A set that went in after this boot has not booted: confirm leaves it on trial.
        EXPECT_EQ(installNew().status, 0) << "the board installs again";
        EXPECT_NE(slots({"status", "--json"}).out.find("\"fellBack\": false"), std::string::npos);
        EXPECT_EQ(slots({"confirm"}).status, 3);
        EXPECT_TRUE(holds(*m_board, s_new) && there("manifest_trial"));
    }
}

// A power cut at every state-changing step of an armed install, of the confirm and of the
// fallback made permanent: after it the current set is whole, and while a set is on trial the
// set before it is whole beside it with the count of its boots written.
TEST_F(TrialTest, PowerCutsKeepAWayBack) {
    const auto trialInvariant = [this](const char* tries) {
        if (there("manifest_trial")) {
            EXPECT_TRUE(holds(*m_board, s_new) && holds(*m_board, s_old, "_prev"));
            EXPECT_TRUE(manifestDescribes(*m_board, s_new, "_trial"));
            EXPECT_EQ(variable("vexil_tries"), tries);
        } else {
            EXPECT_TRUE(holds(*m_board, s_old) || (holds(*m_board, s_new) && there("manifest")));
        }
    };
    const struct {
        const char* name;
        const char* boot;    // how the system booted before the step
        const char* command; // the step after the armed install, or nullptr
        bool newStays;       // the end, once the step is done
        const char* tries;   // vexil_tries during the step
    } steps[] = {
        {"install", "good", nullptr, true, "3"},
        {"confirm", "trial", "confirm", true, "2"},
        {"fallback made permanent", "fallback", "confirm", false, "0"},
    };
    for (const auto& step : steps) {
        for (unsigned n = 1;; ++n) {
            SCOPED_TRACE(std::string(step.name) + ", power cut before operation " +
                         std::to_string(n));
            fresh(true);
            if (step.command != nullptr) {
                ASSERT_EQ(installNew().status, 0);
            }
            booted(step.boot);
            m_board->powerCutBefore(n);
            const Outcome outcome = step.command != nullptr ? slots({step.command}) : installNew();
            const bool cut = m_board->poweredOff();
            m_board->reattach();
            trialInvariant(step.tries);
            if (!cut) {
                EXPECT_EQ(holds(*m_board, s_new), step.newStays) << outcome.out;
                EXPECT_GT(n, step.command != nullptr ? 1u : 10u) << "cuts were made";
                break;
            }
            // The step again, after the power came back, ends where it would have.
            step.command != nullptr ? (void)slots({step.command}) : (void)installNew();
            EXPECT_EQ(holds(*m_board, s_new), step.newStays);
            trialInvariant(step.tries);
        }
    }
}

} // namespace
