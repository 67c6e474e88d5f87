#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/Bridge.hpp"
#include "bridge/ImageFiles.hpp"
#include "tests/bridge/BridgeFixtures.hpp"
#include "tests/support/Fixtures.hpp"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace quillon::test;

namespace {

const std::string kBegin(quillon::protocol::kImagesBegin), kChunk(quillon::protocol::kImagesChunk),
    kResolve(quillon::protocol::kResolveReply), kDrop(quillon::protocol::kDrop),
    kProgress(quillon::protocol::kExportProgress);

void writePicture(const fs::path& file, int width, int height)
{
    fs::create_directories(file.parent_path());
    patchImage(width, height).write_to_file(file.c_str());
}

}  // namespace

TEST(ImageImport, FolderWalkGivesRecordsInNaturalOrderThenTheReply)
{
    setenv("LC_ALL", "C", 1);  // the order must not depend on the locale
    const fs::path dir = freshDir("import-folder");
    writePicture(dir / "a.png", 40, 30);
    writePicture(dir / "B.JPG", 30, 20);
    writePicture(dir / "sub" / "c.tif", 500, 400);
    for (const char* name : {"img2.png", "img10.png", ".hidden.png", ".secret/d.png"})
        writePicture(dir / name, 8, 6);
    std::ofstream(dir / "notes.txt") << "text";
    fs::create_directory_symlink(dir, dir / "sub" / "loop");  // a cycle back to the top
    fs::create_symlink(dir / "a.png", dir / "linked.png");    // links inside folders are listed, not followed
    fs::create_directories(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::none);
    Rig rig;
    // A hidden file named directly is taken; a file named twice is listed once.
    EXPECT_EQ(
        rig.result("importImages",
                   {{"paths", {dir.string(), (dir / ".hidden.png").string(), (dir / "a.png").string()}}}),
        (json{{"count", 7}}));
    fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kBegin, kChunk, kResolve}));
    EXPECT_EQ(rig.host.payloadsOf(kBegin).at(0), (json{{"total", 7}}));
    std::vector<std::string> names;
    for (const json& record : rig.records())
        names.push_back(record["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{".hidden.png", "a.png", "B.JPG", "img2.png", "img10.png",
                                               "linked.png", "c.tif"}));
    json tif = rig.records().at(6);
    EXPECT_EQ(previewPicture(tif["thumbDataUrl"]).width(), 360);  // at most 360 on the longer side
    EXPECT_EQ(previewPicture(rig.records().at(2)["thumbDataUrl"]).width(), 30);  // never enlarged
    tif.erase("thumbDataUrl");
    EXPECT_EQ(tif, (json{{"id", 6},
                         {"name", "c.tif"},
                         {"path", (dir / "sub" / "c.tif").string()},
                         {"isImage", true},
                         {"width", 500},
                         {"height", 400},
                         {"folder", "sub"}}));
    EXPECT_EQ(rig.records().at(0)["folder"], "");  // named directly
    EXPECT_EQ(rig.records().at(2)["height"], 20);
}

TEST(ImageImport, AFolderThatCannotBeOpenedIsLeftOutAndTheWalkGoesOn)
{
    // Tests run as root, for whom no folder is unreadable; running out of file descriptors makes
    // opening a folder fail just as surely. A child process is left two free descriptors: a walk
    // that holds one open folder per level of depth cannot open the third level of the chain, and
    // one that stopped at that error would also miss the sibling folders still to come.
    const fs::path dir = freshDir("import-unopenable");
    for (int i = 0; i < 20; ++i)
        writePicture(dir / ("s" + std::to_string(i)) / "p.png", 8, 6);
    writePicture(dir / "a" / "b" / "c" / "d" / "deep.png", 8, 6);
    const fs::path listing = freshDir("import-unopenable-listing") / "found.txt";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::ofstream out(listing);  // opened before the limit, so that it is not what fails
        const int lowest = dup(0);
        close(lowest);
        const rlimit few{rlim_t(lowest + 2), rlim_t(lowest + 2)};
        setrlimit(RLIMIT_NOFILE, &few);
        for (const fs::path& file : quillon::collectImageFiles({dir}))
            out << file.parent_path().filename().string() + "/" + file.filename().string() << "\n";
        _exit(out.flush() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::multiset<std::string> found, expected{"d/deep.png"};
    std::istringstream lines(contents(listing));
    for (std::string line; std::getline(lines, line);)
        found.insert(line);
    for (int i = 0; i < 20; ++i)
        expected.insert("s" + std::to_string(i) + "/p.png");
    EXPECT_EQ(found, expected);
}

TEST(ImageImport, BatchesOf24AndIdsThatOnlyGrow)
{
    const fs::path dir = freshDir("import-batches");
    writePicture(dir / "img0.png", 8, 6);
    json first24 = {(dir / "img0.png").string()};
    for (int i = 1; i < 50; ++i) {
        fs::copy_file(dir / "img0.png", dir / ("img" + std::to_string(i) + ".png"));
        if (i < 24)
            first24.push_back((dir / ("img" + std::to_string(i) + ".png")).string());
    }
    Rig rig;
    EXPECT_EQ(rig.result("importImages", {{"paths", {dir.string()}}}), (json{{"count", 50}}));
    std::vector<size_t> batches;
    for (const json& chunk : rig.host.payloadsOf(kChunk))
        batches.push_back(chunk["items"].size());
    EXPECT_EQ(batches, (std::vector<size_t>{24, 24, 2}));
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(rig.records().at(i)["id"], i);
    // Exactly 24 give one batch; ids continue where the previous import stopped.
    rig.result("importImages", {{"paths", first24}});
    ASSERT_EQ(rig.host.payloadsOf(kChunk).size(), 1u);
    EXPECT_EQ(rig.records().front()["id"], 50);
    EXPECT_EQ(rig.records().back()["id"], 73);
}

TEST(ImageImport, BrokenFilesAndNamesThatAreNotUtf8StillGetRecords)
{
    const fs::path dir = freshDir("import-odd");
    writePicture(dir / "a.png", 8, 8);
    std::ofstream(dir / "broken.png") << "not a picture";
    fs::copy_file(dir / "a.png", dir / "d\xff\xfe.png");
    writePicture(dir / "caf\xe9.png", 12, 8);  // Latin-1 é, as an old camera card or archive may hold
    Rig rig;
    EXPECT_EQ(rig.result("importImages", {{"paths", {dir.string()}}}), (json{{"count", 4}}));
    const std::vector<json> items = rig.records();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[1]["name"], "broken.png");
    EXPECT_EQ(items[1]["width"], 0);
    EXPECT_EQ(items[1]["thumbDataUrl"], "");
    EXPECT_EQ(items[2]["name"], "caf\xEF\xBF\xBD.png");
    EXPECT_EQ(items[2]["path"], (dir / "caf\xEF\xBF\xBD.png").string());
    EXPECT_EQ(items[2]["width"], 12);  // read through its real name
    EXPECT_EQ(items[3]["name"], "d\xEF\xBF\xBD\xEF\xBF\xBD.png");
    EXPECT_EQ(items[3]["width"], 8);
    // The text the page got leads back to the real file: conversion writes it under its real name.
    // Without a format the images are PNG, in content and not only in name.
    const fs::path out = freshDir("import-odd-out");
    const json payload = rig.result(
        "exportImages",
        {{"paths", {items[0]["path"], items[2]["path"], items[3]["path"]}}, {"dest", out.string()}});
    EXPECT_EQ(payload["failed"], json::array());
    ASSERT_EQ(payload["written"].size(), 3u);
    EXPECT_EQ(payload["written"][1], (out / "caf\xEF\xBF\xBD.png").string());
    for (const char* name : {"a.png", "d\xff\xfe.png", "caf\xe9.png"}) {
        SCOPED_TRACE(name);
        const std::string header = capture("vipsheader " + shellQuote((out / name).string()));
        EXPECT_NE(header.find("pngload"), std::string::npos) << header;
    }
    // Reveal gets the real bytes, for the input and for what was written.
    EXPECT_EQ(rig.result("reveal", {{"paths", {items[2]["path"], payload["written"][1]}}}), nullptr);
    ASSERT_EQ(rig.host.revealed.size(), 1u);
    EXPECT_EQ(rig.host.revealed[0],
              (std::vector<std::string>{(dir / "caf\xe9.png").string(), (out / "caf\xe9.png").string()}));

    EXPECT_EQ(rig.result("importImages", {{"paths", {5}}}), (json{{"count", 0}}));
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kBegin, kResolve}));
}

TEST(ImageExport, WritesEachImageInOrderUnderAFreeName)
{
    const fs::path in = freshDir("export-in"), out = freshDir("export-out");
    writePicture(in / "a.png", 32, 24);
    writePicture(in / "b.TIF", 24, 32);
    fs::copy_file(in / "a.png", in / "archive.tar.gz");
    fs::copy_file(in / "a.png", in / "photo.HEIC");  // named HEIC, holds a PNG: decoded by content
    std::ofstream(in / "notes.txt") << "text";
    const std::string a = (in / "a.png").string(), notes = (in / "notes.txt").string(),
                      missing = (in / "missing.png").string();
    const json paths = {a,       (in / "b.TIF").string(),     notes, a, (in / "archive.tar.gz").string(),
                        missing, (in / "photo.HEIC").string()};
    Rig rig;
    for (const std::vector<std::string>& names :
         {std::vector<std::string>{"a.jpg", "b.jpg", "a-1.jpg", "archive.tar.jpg", "photo.jpg"},
          std::vector<std::string>{"a-2.jpg", "b-1.jpg", "a-3.jpg", "archive.tar-1.jpg", "photo-1.jpg"}}) {
        const json payload = rig.result("exportImages",
                                        {{"paths", paths}, {"format", "jpeg"}, {"dest", out.string()}});
        const std::vector<json> progress = rig.host.payloadsOf(kProgress);
        ASSERT_EQ(progress.size(), 7u);
        EXPECT_EQ(progress.back(), (json{{"done", 7}, {"total", 7}}));
        EXPECT_EQ(rig.sequence().back(), kResolve);
        EXPECT_EQ(fileNames(payload["written"]), names);
        EXPECT_EQ(payload["failed"], (json{{{"path", notes}, {"reason", "could not decode image"}},
                                           {{"path", missing}, {"reason", "could not decode image"}}}));
        EXPECT_EQ(payload["folder"], out.string());
        EXPECT_FALSE(payload.contains("renamed"));  // only with the size or folder arguments
    }
    EXPECT_EQ(vipsheaderSize(out / "b-1.jpg"), "24x32");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 10);  // no temporary left
}

TEST(ImageDrop, RoutedByModeAndKind)
{
    const fs::path dir = freshDir("drop");
    writePicture(dir / "a.png", 16, 12);
    writePicture(dir / "b.png", 16, 12);
    ASSERT_TRUE(makeIndexClip(dir / "clip.MOV", {.frames = 5, .width = 64, .height = 48}));
    ASSERT_TRUE(makeIndexClip(dir / "anim.gif", {.frames = 5, .width = 64, .height = 48, .codec = ""}));
    Rig rig;
    // Video mode (the start): the first video of a drop is opened; images alone are streamed.
    rig.drop({dir / "a.png", dir / "clip.MOV", dir / "anim.gif"});
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kDrop}));
    EXPECT_EQ(rig.host.payloadsOf(kDrop).at(0)["name"], "clip.MOV");
    rig.drop({dir / "b.png", dir / "a.png"});
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kBegin, kChunk}));
    EXPECT_EQ(rig.records().at(0)["name"], "a.png");
    // Images mode: clips and GIFs are streamed too, and none is an image. The mode is compared
    // exactly: "Images" is video mode.
    EXPECT_EQ(rig.result("setMode", {{"mode", "images"}}), nullptr);
    rig.drop({dir / "clip.MOV", dir / "anim.gif"});
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kBegin}));
    EXPECT_EQ(rig.host.payloadsOf(kBegin).at(0), (json{{"total", 0}}));
    rig.result("setMode", {{"mode", "Images"}});
    rig.drop({dir / "anim.gif"});
    EXPECT_EQ(rig.host.payloadsOf(kDrop).at(0)["isGif"], true);
}

// A picture beyond what Quillon holds in memory (2^28 pixels): 16400x16400, red on the left half
// and blue on the right. It is previewed through shrink-on-load and converted as a stream where
// the output allows; what cannot stream is refused with its reason.
TEST(ImageExport, APictureTooLargeToHoldIsPreviewedAndConvertedAsAStream)
{
    const fs::path dir = freshDir("export-huge"), out = freshDir("export-huge-out");
    const fs::path huge = dir / "huge.jpg", turned = dir / "turned.jpg";
    withInterpretation((vips::VImage::xyz(16400, 16400)[0] < 8200)
                           .ifthenelse(std::vector<double>{220, 20, 20}, std::vector<double>{20, 20, 220})
                           .cast(VIPS_FORMAT_UCHAR),
                       VIPS_INTERPRETATION_sRGB)
        .write_to_file((huge.string() + "[Q=85]").c_str());
    fs::copy_file(huge, turned);
    ASSERT_TRUE(exiftoolWrite(turned, "-Orientation#=6"));

    Rig rig;
    EXPECT_EQ(rig.result("importImages", {{"paths", {huge.string()}}}), (json{{"count", 1}}));
    const json record = rig.records().at(0);
    EXPECT_EQ(record["width"], 16400);
    EXPECT_EQ(record["height"], 16400);
    const vips::VImage preview = previewPicture(record["thumbDataUrl"]);
    ASSERT_EQ(sizeOf(preview), "360x360");
    EXPECT_GT(regionMean(preview, 40, 160, 40, 40)[0], 180);   // red on the left
    EXPECT_GT(regionMean(preview, 280, 160, 40, 40)[2], 180);  // blue on the right

    for (const char* format : {"jpeg", "png", "tiff"}) {
        SCOPED_TRACE(format);
        const json payload = rig.result(
            "exportImages", {{"paths", {huge.string()}}, {"format", format}, {"dest", out.string()}});
        ASSERT_EQ(payload["written"].size(), 1u) << payload;
        const std::string written = payload["written"][0];
        EXPECT_EQ(vipsheaderSize(written), "16400x16400");
        // The far corner holds the right colour, so the stream reached the last row.
        std::istringstream corner(capture("vips getpoint " + shellQuote(written) + " 16390 16390"));
        double red = 0, green = 0, blue = 0;
        ASSERT_TRUE(corner >> red >> green >> blue);
        EXPECT_LT(red, 60);
        EXPECT_GT(blue, 180);
    }
    // HEIC encodes the whole picture at once, and turning a picture upright needs all of it.
    const json refused = rig.result(
        "exportImages",
        {{"paths", {huge.string(), turned.string()}}, {"format", "heic"}, {"dest", out.string()}});
    EXPECT_EQ(refused["failed"], (json{{{"path", huge.string()}, {"reason", "image too large"}},
                                       {{"path", turned.string()}, {"reason", "image too large"}}}));
    const json turnedPng = rig.result("exportImages", {{"paths", {turned.string()}}, {"dest", out.string()}});
    EXPECT_EQ(turnedPng["failed"], (json{{{"path", turned.string()}, {"reason", "image too large"}}}));
    // Reduced on load, both fit: the upright one too, and as HEIC.
    const json reduced = rig.result("exportImages", {{"paths", {huge.string(), turned.string()}},
                                                     {"format", "heic"},
                                                     {"maxSide", 1000},
                                                     {"dest", out.string()}});
    ASSERT_EQ(reduced["written"].size(), 2u) << reduced;
    const std::string uprightFile = reduced["written"][1];
    EXPECT_EQ(vipsheaderSize(uprightFile), "1000x1000");
    const vips::VImage upright = vips::VImage::new_from_file(uprightFile.c_str());
    EXPECT_GT(regionMean(upright, 400, 100, 200, 100)[0], 180);  // turned a quarter: red on top
    EXPECT_GT(regionMean(upright, 400, 800, 200, 100)[2], 180);
}

// "maxSide" reduces what is larger to that longest side and leaves the rest alone; a value of the
// wrong type converts at full size, as an absent one does.
TEST(ImageExport, ReducedToALongestSideNeverEnlarged)
{
    const fs::path in = freshDir("export-resize-in"), out = freshDir("export-resize-out");
    patchImage(400, 300).write_to_file((in / "wide.jpg[Q=95]").c_str());
    writePicture(in / "small.png", 60, 40);
    fs::copy_file(in / "wide.jpg", in / "turned.jpg");
    ASSERT_TRUE(exiftoolWrite(in / "turned.jpg", "-Orientation#=6"));
    const json paths = {(in / "wide.jpg").string(), (in / "small.png").string(),
                        (in / "turned.jpg").string()};
    Rig rig;
    const json reduced = rig.result(
        "exportImages",
        {{"paths", paths}, {"format", "webp"}, {"quality", 0.9}, {"maxSide", 100}, {"dest", out.string()}});
    ASSERT_EQ(reduced["written"].size(), 3u) << reduced;
    EXPECT_EQ(reduced["renamed"], 0);
    std::vector<std::string> sizes;
    for (const std::string written : reduced["written"])
        sizes.push_back(vipsheaderSize(written));
    EXPECT_EQ(sizes, (std::vector<std::string>{"100x75", "60x40", "75x100"}));  // never enlarged; upright
    const std::string wide = reduced["written"][0];
    EXPECT_EQ(capture("exiftool -s3 -MIMEType " + shellQuote(wide)), "image/webp\n");
    EXPECT_LE(patchError(vips::VImage::new_from_file(wide.c_str()).copy_memory()), 16);
    // PNG now: wide.png, then wide-1.png and so on, each but the first counted as renamed.
    int run = 0;
    for (const json& ignored : {json("100"), json(0), json(-5), json(true)}) {
        SCOPED_TRACE(ignored.dump());
        const json full = rig.result("exportImages",
                                     {{"paths", {paths[0]}}, {"maxSide", ignored}, {"dest", out.string()}});
        ASSERT_EQ(full["written"].size(), 1u);
        EXPECT_EQ(full["renamed"], run++ == 0 ? 0 : 1);
        EXPECT_EQ(vipsheaderSize(full["written"][0].get<std::string>()), "400x300");
    }
}

// Folders added whole come out with their sub-folders under the destination; a taken name gets
// the usual suffix and is counted; a sub-folder that cannot be made fails only its own images;
// no folder the page sends can lead outside the destination.
TEST(ImageExport, KeepFoldersMirrorsSubFoldersWithoutReplacingAnything)
{
    const fs::path in = freshDir("keep-folders-in"), out = freshDir("keep-folders-out");
    for (const char* name : {"top.png", "trip/a.png", "trip/day 1/a.png", "other/a.png", "blocked/x.png"})
        writePicture(in / name, 24, 16);
    fs::create_directories(out / "trip");
    std::ofstream(out / "trip" / "a.jpg") << "already here";
    std::ofstream(out / "blocked") << "a file where a folder would go";
    Rig rig;
    EXPECT_EQ(rig.result("importImages", {{"paths", {in.string()}}}), (json{{"count", 5}}));
    json paths = json::array(), folders = json::array();
    for (const json& record : rig.records()) {
        paths.push_back(record["path"]);
        folders.push_back(record["folder"]);
    }
    EXPECT_EQ(folders, (json{"blocked", "other", "", "trip", "trip/day 1"}));
    const json payload = rig.result(
        "exportImages", {{"paths", paths}, {"folders", folders}, {"format", "jpeg"}, {"dest", out.string()}});
    EXPECT_EQ(payload["written"],
              (json{(out / "other/a.jpg").string(), (out / "top.jpg").string(),
                    (out / "trip/a-1.jpg").string(), (out / "trip/day 1/a.jpg").string()}));
    EXPECT_EQ(payload["failed"],
              (json{{{"path", paths[0]}, {"reason", "write failed (permission or disk)"}}}));
    EXPECT_EQ(payload["renamed"], 1);
    EXPECT_EQ(contents(out / "trip" / "a.jpg"), "already here");
    EXPECT_TRUE(fs::is_regular_file(out / "blocked"));
    EXPECT_EQ(rig.host.payloadsOf(kProgress).size(), 5u);

    // Folders that climb out or are absolute stay inside; folders of the wrong length are ignored.
    const fs::path inner = freshDir("keep-folders-unsafe") / "dest";
    fs::create_directories(inner);
    const std::string top = (in / "top.png").string();
    const json unsafe = rig.result("exportImages",
                                   {{"paths", {top, top, top, top}},
                                    {"folders", {"../../escape", "/abs/x", "a/./b//c", "a/../.."}},
                                    {"dest", inner.string()}});
    EXPECT_EQ(unsafe["written"], (json{(inner / "top.png").string(), (inner / "abs/x/top.png").string(),
                                       (inner / "a/b/c/top.png").string(), (inner / "top-1.png").string()}));
    EXPECT_FALSE(fs::exists(inner.parent_path() / "escape"));
    const json mismatched = rig.result("exportImages",
                                       {{"paths", {top, top}}, {"folders", {"x"}}, {"dest", inner.string()}});
    EXPECT_EQ(fileNames(mismatched["written"]), (std::vector<std::string>{"top-2.png", "top-3.png"}));
    EXPECT_EQ(fs::path(mismatched["written"][0].get<std::string>()).parent_path(), inner);
}

// "keepDetails" and "toSrgb" switch on only with true: a Display P3 photo with camera details and a
// location keeps its profile by default and never its location; kept details and sRGB on request.
TEST(ImageExport, DetailsAndColourOptions)
{
    const fs::path dir = freshDir("export-details"), out = freshDir("export-details-out");
    const fs::path photo = dir / "photo.jpg";
    patchIn("p3").write_to_file((photo.string() + "[Q=95]").c_str());
    ASSERT_TRUE(exiftoolWrite(
        photo,
        "-Make=Quillontest -DateTimeOriginal='2024:05:06 07:08:09' -GPSLatitude=48.85 -GPSLatitudeRef=N"));
    // exiftool's Make, GPSLatitude and ProfileDescription of each output, by the options given.
    const std::pair<json, const char*> cases[] = {
        {{{"format", "png"}}, "-\t-\tsP3C"},
        {{{"format", "jpeg"}, {"keepDetails", true}}, "Quillontest\t-\tsP3C"},
        {{{"format", "tiff"}, {"keepDetails", true}, {"toSrgb", true}}, "Quillontest\t-\tsRGB"},
        {{{"format", "heic"}, {"toSrgb", true}}, "-\t-\tsRGB"},
        {{{"format", "jpeg"}, {"keepDetails", "yes"}, {"toSrgb", 1}}, "-\t-\tsP3C"},  // wrong types: off
    };
    Rig rig;
    std::string files, expected;
    for (const auto& [options, tags] : cases) {
        json args = options;
        args.update(json{{"paths", {photo.string()}}, {"dest", out.string()}});
        const json payload = rig.result("exportImages", args);
        ASSERT_EQ(payload["written"].size(), 1u) << payload;
        files += " " + shellQuote(payload["written"][0]);
        expected += tags + std::string("\n");
    }
    EXPECT_EQ(capture("exiftool -q -q -T -Make -GPSLatitude -ProfileDescription" + files), expected);
}
