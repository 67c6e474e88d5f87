#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "media/Extensions.hpp"
#include "tests/images/ImagesRig.hpp"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace quillon::test;

namespace {

std::vector<std::string> recordNames(const std::vector<json>& chunks)
{
    std::vector<std::string> names;
    for (const json& chunk : chunks)
        for (const json& record : chunk["items"])
            names.push_back(record["name"]);
    return names;
}

// n copies of one small PNG named img0.png .. img<n-1>.png.
fs::path folderOfImages(const std::string& name, int n)
{
    fs::path dir = freshDir(name);
    writePicture(dir / "img0.png", 8, 6);
    for (int i = 1; i < n; ++i)
        fs::copy_file(dir / "img0.png", dir / ("img" + std::to_string(i) + ".png"));
    return dir;
}

}  // namespace

TEST(ImageImport, FolderGivesSortedRecordsThenTheReply)
{
    fs::path dir = freshDir("import-folder");
    writePicture(dir / "a.png", 40, 30);
    writePicture(dir / "B.JPG", 30, 20);
    fs::create_directories(dir / "sub");
    writePicture(dir / "sub" / "c.tif", 500, 400);
    std::ofstream(dir / "notes.txt") << "text";
    fs::copy_file(dir / "a.png", dir / ".hidden.png");

    ImagesRig rig;
    std::int64_t id = rig.send("importImages", {{"paths", {dir.string()}}});

    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kBegin, kChunk, kResolve}));
    EXPECT_EQ(rig.host.payloadsOf(kBegin).at(0), (json{{"total", 3}}));
    json items = rig.host.payloadsOf(kChunk).at(0)["items"];
    ASSERT_EQ(items.size(), 3u);
    const std::vector<std::string> names{"a.png", "B.JPG", "c.tif"};
    const std::vector<std::pair<int, int>> sizes{{40, 30}, {30, 20}, {500, 400}};
    for (size_t i = 0; i < 3; ++i) {
        const json& r = items[i];
        EXPECT_EQ(r.size(), 7u);
        EXPECT_EQ(r["id"], i);
        EXPECT_EQ(r["name"], names[i]);
        EXPECT_EQ(r["isImage"], true);
        EXPECT_EQ(r["width"], sizes[i].first);
        EXPECT_EQ(r["height"], sizes[i].second);
        vips::VImage thumb = pictureOfDataUrl(r["thumbDataUrl"]);
        // Previews are never enlarged and at most 360 on the longer side.
        EXPECT_EQ(thumb.width(), std::min(sizes[i].first, i == 2 ? 360 : 1000));
    }
    EXPECT_EQ(items[2]["path"], (dir / "sub" / "c.tif").string());
    EXPECT_EQ(rig.reply(id), (json{{"id", id}, {"ok", true}, {"payload", {{"count", 3}}}}));
}

TEST(ImageImport, BatchesOf24AndIdsThatOnlyGrow)
{
    ImagesRig rig;
    fs::path fifty = folderOfImages("import-fifty", 50);
    std::int64_t first = rig.send("importImages", {{"paths", {fifty.string()}}});
    std::vector<json> chunks = rig.host.payloadsOf(kChunk);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0]["items"].size(), 24u);
    EXPECT_EQ(chunks[1]["items"].size(), 24u);
    EXPECT_EQ(chunks[2]["items"].size(), 2u);
    EXPECT_EQ(rig.reply(first)->at("payload"), (json{{"count", 50}}));
    // Natural order across batches: img0, img1, img2, ... img9, img10, ...
    std::vector<std::string> names = recordNames(chunks);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(names[i], "img" + std::to_string(i) + ".png");
        EXPECT_EQ(chunks[i / 24]["items"][i % 24]["id"], i);
    }
    EXPECT_EQ(rig.sequence().back(), kResolve);

    // Exactly 24 give one batch; ids continue where the previous import stopped.
    rig.host.clear();
    fs::path twentyFour = folderOfImages("import-24", 24);
    rig.send("importImages", {{"paths", {twentyFour.string()}}});
    chunks = rig.host.payloadsOf(kChunk);
    ASSERT_EQ(chunks.size(), 1u);
    ASSERT_EQ(chunks[0]["items"].size(), 24u);
    EXPECT_EQ(chunks[0]["items"][0]["id"], 50);
    EXPECT_EQ(chunks[0]["items"][23]["id"], 73);
}

TEST(ImageImport, UnreadableFilesStillGetRecordsAndEmptyListsGetNoBatch)
{
    fs::path dir = freshDir("import-broken");
    std::ofstream(dir / "broken.png") << "not a picture";
    writePicture(dir / "good.png", 20, 10);

    ImagesRig rig;
    std::int64_t id = rig.send("importImages", {{"paths", {(dir / "broken.png").string(),
                                                           (dir / "good.png").string()}}});
    json items = rig.host.payloadsOf(kChunk).at(0)["items"];
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]["name"], "broken.png");
    EXPECT_EQ(items[0]["width"], 0);
    EXPECT_EQ(items[0]["height"], 0);
    EXPECT_EQ(items[0]["thumbDataUrl"], "");
    EXPECT_EQ(items[1]["width"], 20);
    EXPECT_EQ(rig.reply(id)->at("payload"), (json{{"count", 2}}));

    for (const json& paths : {json::array(), json{5}, json("x")}) {
        rig.host.clear();
        std::int64_t empty = rig.send("importImages", {{"paths", paths}});
        EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kBegin, kResolve})) << paths;
        EXPECT_EQ(rig.host.payloadsOf(kBegin).at(0), (json{{"total", 0}}));
        EXPECT_EQ(rig.reply(empty)->at("payload"), (json{{"count", 0}}));
    }
}

TEST(ImageImport, NamesThatAreNotUtf8DoNotCostTheBatch)
{
    fs::path dir = freshDir("import-bytes");
    writePicture(dir / "a.png", 8, 8);
    fs::copy_file(dir / "a.png", dir / "b\xff\xfe.png");
    fs::copy_file(dir / "a.png", dir / "c.png");

    ImagesRig rig;
    std::int64_t id = rig.send("importImages", {{"paths", {dir.string()}}});
    std::vector<json> chunks = rig.host.payloadsOf(kChunk);
    ASSERT_EQ(chunks.size(), 1u);
    json items = chunks[0]["items"];
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1]["name"], "b\xEF\xBF\xBD\xEF\xBF\xBD.png");
    EXPECT_EQ(items[1]["width"], 8);  // read through its real name on the host side
    EXPECT_EQ(rig.reply(id)->at("payload"), (json{{"count", 3}}));

    // The displayable name no longer leads to the file: converting it fails for that image only.
    rig.host.clear();
    fs::path out = freshDir("import-bytes-out");
    std::int64_t exportId = rig.send("exportImages", {{"paths", {items[0]["path"], items[1]["path"]}},
                                                      {"dest", out.string()}});
    json payload = rig.reply(exportId)->at("payload");
    EXPECT_EQ(payload["written"].size(), 1u);
    EXPECT_EQ(payload["failed"], (json{{{"path", items[1]["path"]}, {"reason", "could not decode image"}}}));
}

TEST(ImageImport, ChooseImagesPanels)
{
    fs::path dir = folderOfImages("import-choose", 2);
    ImagesRig rig;
    rig.host.panelAnswers.push_back({(dir / "img1.png").string(), (dir / "img0.png").string()});
    std::int64_t files = rig.send("chooseImages");
    ASSERT_EQ(rig.host.panels.size(), 1u);
    const quillon::PanelRequest& panel = rig.host.panels[0];
    EXPECT_EQ(panel.kind, quillon::PanelRequest::Kind::OpenFiles);
    EXPECT_EQ(panel.title, "Choose images or folders");
    EXPECT_EQ(panel.acceptLabel, "Add");
    ASSERT_EQ(panel.filters.size(), 1u);
    EXPECT_EQ(panel.filters[0].mimeTypes, (std::vector<std::string>{"image/*"}));
    EXPECT_EQ(panel.filters[0].patterns.size(), quillon::kImageExtensions.size());
    EXPECT_EQ(recordNames(rig.host.payloadsOf(kChunk)), (std::vector<std::string>{"img0.png", "img1.png"}));
    EXPECT_EQ(rig.reply(files)->at("payload"), (json{{"count", 2}}));

    rig.host.panelAnswers.push_back({dir.string()});
    rig.send("chooseImages", {{"folders", true}});
    ASSERT_EQ(rig.host.panels.size(), 2u);
    EXPECT_EQ(rig.host.panels[1].kind, quillon::PanelRequest::Kind::OpenFolders);
    EXPECT_EQ(rig.host.panels[1].title, "Choose folders of images");
    EXPECT_EQ(rig.host.panels[1].acceptLabel, "Add");
    EXPECT_EQ(rig.host.payloadsOf(kChunk).size(), 2u);

    // Cancelled: {"count": 0} and no event at all.
    rig.host.clear();
    std::int64_t cancelled = rig.send("chooseImages", {{"folders", "yes"}});
    EXPECT_EQ(rig.host.panels.back().kind, quillon::PanelRequest::Kind::OpenFiles);
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kResolve}));
    EXPECT_EQ(rig.reply(cancelled), (json{{"id", cancelled}, {"ok", true}, {"payload", {{"count", 0}}}}));
}
