#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
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
#include "media/StillsSource.hpp"

namespace quillon {

using Json = nlohmann::json;

// What an export wrote: "written" paths in the order written, "failed" records in the order the
// items were processed.
struct WriteResult {
    Json written = Json::array();
    Json failed = Json::array();
    // Files written under another name than their first choice, because that name was taken.
    std::int64_t renamed = 0;
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

    // One command of the page: its exact, case-sensitive name and what runs it.
    struct Command {
        std::string_view name;
        void (*run)(Bridge&, std::int64_t id, const Json& args);
    };
    // The commands of the page, matched in this order; any other name is answered as unknown.
    static const std::array<Command, 10> kCommands;

    // Main thread. One command message body as the page posted it. Malformed messages (not an
    // object, no integral "id", no string "cmd") are dropped without a reply.
    void handleMessage(const Json& body);

    // Main thread. Files dropped on the window, in the order dropped (never empty).
    void handleDrop(std::vector<std::filesystem::path> files);

    // Any thread but io's own. Blocks until no task is queued or running on `io`. Deliveries made
    // meanwhile are posted to the main loop and run once the main loop runs again.
    void waitIdle();

    // Any thread. Answers request id: protocol::kResolveReply + "(" + {"id","ok","payload"} + ")".
    void resolve(std::int64_t id, bool ok, const Json& payload);

    // Any thread. Pushes one event: name + "(" + payload + ")"; name is one of
    // protocol::kEvents.
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

    // Serialises on the calling thread and posts the finished script to the main loop.
    void deliver(std::string script);

    // Source commands (main thread) and opening (on io).
    void chooseVideo(std::int64_t id);
    void loadVideo(std::int64_t id, const Json& args);
    void setMode(std::int64_t id, const Json& args);
    void chooseDest(std::int64_t id);
    void reveal(std::int64_t id, const Json& args);
    std::optional<Json> open(const std::filesystem::path& url);

    // Frame extraction and export.
    void extract(std::int64_t id, const Json& args);
    void exportFrames(std::int64_t id, const Json& args);
    WriteResult writeFrames(std::vector<std::int64_t> ids, const std::shared_ptr<StillsSource>& src,
                            const std::filesystem::path& srcURL, const std::filesystem::path& dir,
                            const std::string& format, double quality);

    // Images mode.
    void chooseImages(std::int64_t id, const Json& args);
    void importImages(std::int64_t id, const Json& args);
    void streamImages(const std::vector<std::filesystem::path>& inputs,
                      std::optional<std::int64_t> resolveId);
    void exportImages(std::int64_t id, const Json& args);
    ImageLayout imageLayout(const Json& args, std::size_t pathCount) const;
    WriteResult writeImages(const std::vector<std::string>& paths, const std::filesystem::path& dir,
                            const std::string& format, double quality, const ImageLayout& layout = {});

    // The current source and its file. Written by open() on io, read by the dispatcher on the main
    // thread, so both go through sourceMutex_; tasks capture the pair when a command arrives.
    struct CurrentSource {
        std::shared_ptr<StillsSource> source;
        std::optional<std::filesystem::path> url;
    };
    CurrentSource currentSource() const;

    Host& host_;
    // Released first when the bridge goes; callbacks made by whileAlive() watch it. Main thread.
    std::shared_ptr<const void> alive_ = std::make_shared<int>(0);
    mutable std::mutex sourceMutex_;
    CurrentSource current_;
    std::map<std::int64_t, double> frameTimes_;     // io only
    std::map<std::int64_t, double> framePercents_;  // io only
    std::int64_t nextImageId_ = 0;                  // io only
    PagePaths pagePaths_;  // paths sent to the page that are not UTF-8; any thread
    std::string currentMode_ = "video";             // main thread only
    SerialQueue io_{"stills.io"};                   // last: destroyed (and joined) first
};

}  // namespace quillon
