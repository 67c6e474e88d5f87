// Long work under the user's control: "cancel" stops the running command at its next still or
// file (it answers with what it finished) and fails the commands queued behind it with
// "Cancelled"; "setPageState" tells the host what quitting would lose.
#include <chrono>
#include <condition_variable>
#include <thread>

#include <gtest/gtest.h>

#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;

const std::string kReply = "window.__bridgeResolveRaw";

// A fake host that holds the work thread inside its n-th delivery until the test lets it go, so
// that a cancel lands at a known point of a run however fast the machine is.
class PausingHost : public test::FakeHost {
public:
    // Pause in the n-th delivery made off the test's thread (1-based), counted from now.
    void pauseAt(int n)
    {
        std::lock_guard lock(mutex_);
        offMain_ = 0;
        pauseAt_ = n;
    }

    void runOnMain(std::function<void()> task) override
    {
        if (std::this_thread::get_id() != mainThread_) {
            std::unique_lock lock(mutex_);
            if (++offMain_ == pauseAt_) {
                paused_ = true;
                changed_.notify_all();
                changed_.wait(lock, [this] { return !paused_; });
            }
        }
        FakeHost::runOnMain(std::move(task));
    }

    bool waitPaused()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [this] { return paused_; });
    }

    void release()
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
        pauseAt_ = 0;
        changed_.notify_all();
    }

private:
    const std::thread::id mainThread_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable changed_;
    int offMain_ = 0;
    int pauseAt_ = 0;
    bool paused_ = false;
};

// n copies of one tiny PNG, img00.png ... in a fresh folder.
fs::path tinyImages(const std::string& name, int n)
{
    const fs::path dir = test::freshDir(name);
    EXPECT_EQ(test::run("vips black " + test::shellQuote((dir / "img00.png").string()) + " 8 6"), 0);
    for (int i = 1; i < n; ++i)
        fs::copy_file(dir / "img00.png", dir / ((i < 10 ? "img0" : "img") + std::to_string(i) + ".png"));
    return dir;
}

class Cancel : public ::testing::Test {
protected:
    PausingHost host;
    Bridge bridge{host};  // after host: destroyed first

    void send(std::int64_t id, const std::string& cmd, const Json& args = Json::object())
    {
        bridge.handleMessage({{"id", id}, {"cmd", cmd}, {"args", args}});
    }

    // Sends the command, holds its work in the n-th delivery it makes, cancels there (after
    // queuing `behind`), lets it go and runs everything to the end; the deliveries from the
    // command on.
    std::vector<test::Delivery> cancelAt(std::int64_t id, const std::string& cmd, const Json& args, int n,
                                         const std::function<void()>& behind = {})
    {
        host.settle(bridge);
        host.clear();
        host.pauseAt(n);
        send(id, cmd, args);
        EXPECT_TRUE(host.waitPaused()) << cmd << " made fewer than " << n << " deliveries";
        if (behind)
            behind();
        send(99, "cancel");
        host.release();
        host.settle(bridge);
        return host.deliveries();
    }

    // The reply to request id and the names of the events delivered before it; fails when an
    // event follows the reply.
    static std::pair<Json, std::vector<std::string>> replyAndEvents(const std::vector<test::Delivery>& calls,
                                                                    std::int64_t id)
    {
        std::vector<std::string> events;
        Json reply;
        for (const test::Delivery& call : calls) {
            if (call.name == kReply && call.payload["id"] == id)
                reply = call.payload;
            else if (call.name != kReply && !reply.is_null())
                ADD_FAILURE() << call.name << " was delivered after the reply";
            else if (call.name != kReply)
                events.push_back(call.name);
        }
        return {reply, events};
    }

    void loadClip()
    {
        send(1, "loadVideo", {{"path", test::bridgeClip().string()}});
        host.settle(bridge);
    }
};

TEST_F(Cancel, ExtractionStopsAtTheNextStillAndCountsWhatItDelivered)
{
    loadClip();
    // Deliveries: progress 0, still 0, progress 1, still 1 (held), progress 2, then the cancel.
    auto [reply, events] = replyAndEvents(cancelAt(10, "extract", {{"stepPercent", 10}}, 4), 10);
    const std::string progress = "window.__onExtractProgress", still = "window.__onFrameReady";
    EXPECT_EQ(events, (std::vector<std::string>{progress, still, progress, still, progress}));
    EXPECT_EQ(reply, Json({{"id", 10}, {"ok", true}, {"payload", {{"count", 2}, {"cancelled", true}}}}));

    // The stills it delivered are those an export finds: id 1 is the 10 % one.
    const fs::path dir = test::freshDir("cancel-extract");
    send(11, "export", {{"ids", {1}}, {"dest", dir.string()}});
    host.settle(bridge);
    EXPECT_EQ(test::namesIn(dir), std::vector<std::string>{"clip_p010.png"});
}

TEST_F(Cancel, ExportsKeepAndListWhatTheyWroteAndLeaveNoPartialFile)
{
    loadClip();
    const fs::path images = tinyImages("cancel-images", 5);
    std::vector<std::string> paths;
    for (const std::string& name : test::namesIn(images))
        paths.push_back((images / name).string());

    const fs::path out = test::freshDir("cancel-exports");
    // Command, arguments, the names of the files written, in order.
    const std::vector<std::tuple<std::string, Json, std::vector<std::string>>> cases = {
        {"export", {{"ids", {0, 1, 2, 3, 4, 5}}, {"format", "jpg"}}, {"clip_p000.jpg", "clip_p005.jpg"}},
        {"exportImages", {{"paths", paths}, {"format", "tiff"}}, {"img00.tiff", "img01.tiff"}},
    };
    for (const auto& [cmd, given, written] : cases) {
        SCOPED_TRACE(cmd);
        const fs::path dir = out / cmd;
        fs::create_directory(dir);
        Json args = given;
        args["dest"] = dir.string();
        // Held in the second progress event: two files written, the third not started.
        auto [reply, events] = replyAndEvents(cancelAt(20, cmd, args, 2), 20);
        EXPECT_EQ(events, std::vector<std::string>(2, "window.__onExportProgress"));
        ASSERT_EQ(reply["ok"], true) << reply;
        EXPECT_EQ(reply["payload"]["cancelled"], true);
        EXPECT_EQ(reply["payload"]["failed"], Json::array());
        EXPECT_EQ(test::fileNames(reply["payload"]["written"]), written);
        // Nothing else in the folder: no temporary or half-written file.
        EXPECT_EQ(test::namesIn(dir), written);
    }
}

TEST_F(Cancel, AnImportStopsAfterTheRecordsItMadeAndSendsThemAll)
{
    const fs::path images = tinyImages("cancel-import", 30);
    // Held in the first batch of 24; the 25th image is never made into a record.
    auto [reply, events] = replyAndEvents(cancelAt(30, "importImages", {{"paths", {images.string()}}}, 2),
                                          30);
    EXPECT_EQ(events, (std::vector<std::string>{"window.__onImagesBegin", "window.__onImagesChunk"}));
    EXPECT_EQ(reply["payload"], Json({{"count", 24}, {"cancelled", true}}));

    // Ids stay unique: the next import starts after the 24 handed out.
    send(31, "importImages", {{"paths", {(images / "img29.png").string()}}});
    host.settle(bridge);
    EXPECT_EQ(host.payloadsOf("window.__onImagesChunk").back()["items"][0]["id"], 24);
}

TEST_F(Cancel, CommandsQueuedBehindAnswerCancelledWithoutStartingAndLaterOnesRun)
{
    loadClip();
    const fs::path dir = test::freshDir("cancel-queued");
    auto calls = cancelAt(40, "extract", {{"stepPercent", 10}}, 2, [&] {
        send(41, "export", {{"ids", {0}}, {"dest", dir.string()}});
        send(42, "importImages", {{"paths", {test::bridgeClip().string()}}});
        send(47, "stepStill", {{"id", 0}, {"frames", 1}});
    });
    const std::vector<Json> replies = test::payloadsOf(calls, kReply);
    ASSERT_EQ(replies.size(), 5u);
    EXPECT_EQ(replies[0], Json({{"id", 99}, {"ok", true}, {"payload", nullptr}}));
    EXPECT_EQ(replies[1]["payload"], Json({{"count", 1}, {"cancelled", true}}));
    EXPECT_EQ(replies[2], Json({{"id", 41}, {"ok", false}, {"payload", "Cancelled"}}));
    EXPECT_EQ(replies[3], Json({{"id", 42}, {"ok", false}, {"payload", "Cancelled"}}));
    EXPECT_EQ(replies[4], Json({{"id", 47}, {"ok", false}, {"payload", "Cancelled"}}));
    EXPECT_TRUE(host.payloadsOf("window.__onExportProgress").empty());
    EXPECT_TRUE(host.payloadsOf("window.__onImagesBegin").empty());
    EXPECT_TRUE(fs::is_empty(dir));

    // A command sent after the cancel runs in full, and so does one after a cancel with nothing
    // to stop.
    host.clear();
    send(43, "cancel");
    send(44, "extract", {{"stepPercent", 50}});
    host.settle(bridge);
    const auto extracted = host.payloadsOf(kReply);
    ASSERT_EQ(extracted.size(), 2u);
    EXPECT_EQ(extracted[1], Json({{"id", 44}, {"ok", true}, {"payload", {{"count", 3}}}}));

    // A command whose folder panel is open when the cancel comes fails the same way once the
    // folder is chosen.
    host.clear();
    host.panelAnswers = {{dir.string()}};
    send(45, "export", {{"ids", {0}}});
    send(46, "cancel");
    host.settle(bridge);
    EXPECT_EQ(host.payloadsOf(kReply).back(), Json({{"id", 45}, {"ok", false}, {"payload", "Cancelled"}}));
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST(PageState, TheHostKeepsWhatThePageLastReportedWithWrongTypesAsNothing)
{
    test::Rig rig;
    const std::vector<std::pair<Json, Bridge::PageState>> cases = {
        {{{"work", "conversion"}, {"stills", 0}, {"images", 40}}, {"conversion", 0, 40}},
        {{{"work", ""}, {"stills", 11.0}, {"images", 2}}, {"", 11, 2}},
        {{{"work", 3}, {"stills", -5}, {"images", "7"}}, {"", 0, 0}},
        {{{"stills", 2.5}, {"images", true}}, {"", 0, 0}},
    };
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(args.dump());
        const Json reply = rig.send("setPageState", args);
        EXPECT_EQ(reply["ok"], true);
        EXPECT_EQ(reply["payload"], nullptr);
        const Bridge::PageState& state = rig.bridge.pageState();
        EXPECT_EQ(state.work, expected.work);
        EXPECT_EQ(state.stills, expected.stills);
        EXPECT_EQ(state.images, expected.images);
    }
}

}  // namespace
}  // namespace quillon
