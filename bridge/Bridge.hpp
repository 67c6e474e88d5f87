#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/Host.hpp"
#include "bridge/ImageFiles.hpp"
#include "bridge/SerialQueue.hpp"
#include "bridge/SettingsStore.hpp"
#include "media/StillsSource.hpp"
#include "media/Thumbnail.hpp"

namespace quillon {

using Json = nlohmann::json;

// What an export wrote: "written" paths in the order written, "failed" records in the order the
// items were processed. Items after a cancel are in neither list.
struct WriteResult {
    Json written = Json::array();
    Json failed = Json::array();
    bool cancelled = false;  // the page cancelled the export before its last item
    // Files written under another name than their first choice, because that name was taken.
    std::int64_t renamed = 0;
    bool reportRenamed = false;  // the reply says how many were renamed
};

// How converted images are sized and placed: a longest side of at most maxSide pixels (0 for the
// full size), and the folder under the destination for each path, relative and already made safe
// (empty for all, or one per path; an empty folder is the destination itself).
struct ImageLayout {
    int maxSide = 0;
    std::vector<std::filesystem::path> folders;
    // Whether the reply counts the renamed files: only for a command that used these arguments,
    // so that a command without them is answered exactly as before.
    bool reportRenamed = false;
};

// The deepest nesting of arrays and objects a command message may have. No command has arguments
// nested more than a few levels; the limit keeps a hostile message from exhausting the stack of
// whatever walks the parsed value recursively (copies, comparisons, serialisation).
inline constexpr int kMaxMessageDepth = 64;

// Parses the JSON text of one command message as the page posted it. A text that is not JSON, or
// nests arrays and objects deeper than kMaxMessageDepth, gives a discarded value (is_discarded()),
// which the caller drops as malformed. Any thread.
Json parseMessage(std::string_view text);

// The file filter of the video panel: video and GIF MIME types, and "*.<ext>" patterns for every
// extension of kStillsExtensions (the host matches patterns without regard to case). Any thread.
FileFilter stillsContentTypes();

// The host side of the page protocol. It receives the page's command messages, owns the working
// state (the current source, the frame records of the last extraction, the mode, the image id
// counter) and the serial work queue `io`, and answers through the Host: one reply per command,
// events while long work runs, every delivery on the main thread in the order it was made.
class Bridge {
public:
    explicit Bridge(Host& host);
    // Abandons queued work, waits for the running task to stop; panel answers and main-loop tasks
    // the host still holds for this bridge do nothing when they run later.
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // One command of the page: its exact, case-sensitive name, what runs it, and the arguments
    // that have a default, as a JSON object. The handler sees each of those arguments with a value
    // of its default's kind: one that is absent or of another kind is replaced by the default.
    struct Command {
        std::string_view name;
        void (*run)(Bridge&, std::int64_t id, const Json& args);
        Json defaults = Json::object();
    };
    // The commands of the page, matched in this order; any other name is answered as unknown.
    // Besides the commands of the two modes:
    // - "cancel", no arguments, answered null at once: the command running on io stops at its next
    //   still, file or image and answers as usual with what it finished and "cancelled": true
    //   (extract {"count": stills handled}, export and exportImages {"written", "failed",
    //   "folder"}, an import {"count": records sent}); its events stop before that answer. Commands
    //   queued behind it fail with "Cancelled" without starting; commands sent later run normally.
    // - "setPageState" {"work": "extraction"|"export"|"import"|"conversion"|"opening"|"", "stills":
    //   n, "images": n}, answered null: what the page holds, which the desktop host reads to ask
    //   before quitting.
    // - "getSettings" and "saveSettings": the output of each mode and the spacing, remembered in
    //   the user's configuration folder.
    // - "stillPicture", "stepStill", "restoreStill" and "imagePicture": the viewer's large
    //   pictures, and a still stepped to a neighbouring frame or back to its planned time.
    static const std::array<Command, 18> kCommands;

    // Main thread. One command message body as the page posted it. Malformed messages (not an
    // object, no integral "id", no string "cmd") are dropped without a reply.
    void handleMessage(const Json& body);

    // Main thread. The key file getSettings and saveSettings use; userSettingsFile() unless set.
    void setSettingsFile(std::filesystem::path file) { settingsFile_ = std::move(file); }

    // Main thread. Files dropped on the window, in the order dropped (never empty).
    void handleDrop(std::vector<std::filesystem::path> files);

    // What the page last reported with "setPageState": the work it waits for ("extraction",
    // "export", "import", "conversion", "opening"; empty when none) and how many stills and images
    // it shows. The host asks the user before quitting while any of it would be lost.
    struct PageState {
        std::string work;
        std::int64_t stills = 0;
        std::int64_t images = 0;
    };
    // Main thread.
    const PageState& pageState() const { return pageState_; }
    // Any thread. Whether a task is queued or running on `io` (a drop's work included).
    bool working() const { return io_.busy(); }

    // Any thread but io's own. Blocks until no task is queued or running on `io`. Deliveries made
    // meanwhile are posted to the main loop and run once the main loop runs again.
    void waitIdle();

    // Any thread. Answers request id: protocol::kResolveReply + "(" + {"id","ok","payload"} + ")".
    void resolve(std::int64_t id, bool ok, const Json& payload);

    // Any thread. Pushes one event: name + "(" + payload + ")"; name is one of
    // protocol::kEvents. Serialised on the calling thread, posted to the main loop.
    void emit(std::string_view name, const Json& payload);

private:
    // Wraps a callback the host runs later on the main thread (a panel's answer, a reveal) so that
    // it does nothing once this bridge is gone: the host may hold it past the bridge's life.
    template <typename Callback>
    auto whileAlive(Callback callback) const
    {
        return [alive = std::weak_ptr<const void>(alive_),
                callback = std::move(callback)]<typename... Args>(Args&&... args) mutable {
            if (!alive.expired())
                callback(std::forward<Args>(args)...);
        };
    }

    // Wraps a panel's answer to command id: when the page cancelled while the panel was open, the
    // command fails with "Cancelled" instead of starting its work. Main thread.
    template <typename Callback>
    auto unlessCancelled(std::int64_t id, Callback callback)
    {
        return [this, id, since = io_.cancelGeneration(),
                callback = std::move(callback)]<typename... Args>(Args&&... args) mutable {
            if (io_.cancelGeneration() != since)
                resolve(id, false, "Cancelled");
            else
                callback(std::forward<Args>(args)...);
        };
    }

    // Queues a command's work on io. When a cancel comes before the work starts, the command is
    // answered with the failure "Cancelled" instead, in its place in the queue.
    void queueCommand(std::int64_t id, std::function<void()> work);
    // From a task on io, before each of its items: whether to stop there, because the page
    // cancelled the task (`cancelled` then turns true) or the bridge is going away (which leaves
    // the request unanswered).
    bool stopHere(bool& cancelled) const
    {
        if (!io_.cancelRequested())
            return false;
        cancelled = !io_.stopRequested();
        return true;
    }

    // Stops the work running on io at its next still, file or batch, and cancels what is queued.
    void cancel(std::int64_t id);

    // Source commands (main thread) and opening (on io).
    void chooseVideo(std::int64_t id);
    void loadVideo(std::int64_t id, const Json& args);
    void setMode(std::int64_t id, const Json& args);
    void chooseDest(std::int64_t id);
    void reveal(std::int64_t id, const Json& args);
    void setPageState(std::int64_t id, const Json& args);
    std::optional<Json> open(const std::filesystem::path& file);
    // A path as the page gave it, made absolute against the working folder (lexically: symbolic
    // links are kept as named), so descriptions, replies and the files written carry full paths.
    static std::filesystem::path absolutePath(const std::filesystem::path& path);

    // Frame extraction and export.
    void extract(std::int64_t id, const Json& args);
    void exportFrames(std::int64_t id, const Json& args);
    WriteResult writeFrames(std::vector<std::int64_t> ids, const std::shared_ptr<StillsSource>& src,
                            const std::filesystem::path& clip, const std::filesystem::path& dir,
                            const std::string& format, double quality);

    // Answers an export: runs `write` on io with the "dest" argument, or else with the folder
    // chosen in a panel (a cancelled panel answers null), and replies with what it wrote.
    void exportInto(std::int64_t id, const Json& args, const char* panelTitle,
                    std::function<WriteResult(const std::filesystem::path& folder)> write);

    // Images mode.
    void chooseImages(std::int64_t id, const Json& args);
    void importImages(std::int64_t id, const Json& args);
    void streamImages(const std::vector<std::filesystem::path>& inputs,
                      std::optional<std::int64_t> resolveId);
    void exportImages(std::int64_t id, const Json& args);
    ImageLayout imageLayout(const Json& args, std::size_t pathCount) const;
    WriteResult writeImages(const std::vector<std::string>& paths, const std::filesystem::path& dir,
                            const std::string& format, double quality, const ConversionOptions& options = {},
                            const ImageLayout& layout = {});

    // Remembered settings (main thread).
    void getSettings(std::int64_t id);
    void saveSettingsCommand(std::int64_t id, const Json& args);
    Json settingsForPage(const Settings& settings);
    void mergeOutput(OutputChoice& choice, const Json& args);
    // The viewer: large pictures, stepping a still and undoing it (io for the records).
    void stillPicture(std::int64_t id, const Json& args);
    void stepStill(std::int64_t id, const Json& args);
    void restoreStill(std::int64_t id, const Json& args);
    void imagePicture(std::int64_t id, const Json& args);
    // Queues a viewer command on the still named by args' "id" of the current source: `work` runs
    // on io once the still is known and gives the frame to show (nothing when it cannot be
    // decoded); the reply is that frame's record and pictures at the size args ask for.
    using StillWork =
        std::function<std::optional<SteppedStill>(std::int64_t frame, StillsSource& source, int maxSide)>;
    void queueStillCommand(std::int64_t id, const Json& args, StillWork work);
    // What the bridge knows of one still of the last extraction: the time it is taken at and the
    // position its file is named after. A still stepped away from its planned time also keeps the
    // planned time and position, to go back to, and the start of the frame it shows now.
    struct StillRecord {
        double sec = 0;
        double percent = 0;
        struct Moved {
            double plannedSec = 0;
            double plannedPercent = 0;
            double startSec = 0;
        };
        std::optional<Moved> moved;
    };
    Json stillReply(std::int64_t frame, const StillRecord& record, const SteppedStill& shown,
                    const StillsSource& source, int maxSide) const;

    // The current source and its file. Written by open() on io, read by the dispatcher on the main
    // thread, so both go through sourceMutex_; tasks capture the pair when a command arrives.
    struct CurrentSource {
        std::shared_ptr<StillsSource> source;
        std::optional<std::filesystem::path> file;
    };
    CurrentSource currentSource() const;

    Host& host_;
    // Released first when the bridge goes; callbacks made by whileAlive() watch it. Main thread.
    std::shared_ptr<const void> alive_ = std::make_shared<int>(0);
    mutable std::mutex sourceMutex_;
    CurrentSource current_;
    std::map<std::int64_t, StillRecord> stills_;  // by frame id; io only
    std::int64_t nextImageId_ = 0;                // io only
    PagePaths pagePaths_;                         // paths sent to the page that are not UTF-8; any thread
    std::string currentMode_ = "video";           // main thread only
    std::filesystem::path settingsFile_ = userSettingsFile();  // main thread only
    PageState pageState_;                                      // main thread only
    SerialQueue io_{"stills.io"};                              // last: destroyed (and joined) first
};

}  // namespace quillon
