// What a converted file carries besides its pixels: the photo's details without its location, and
// the colour profile of its numbers. Everything is read back with exiftool and libvips.
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "media/Encode.hpp"
#include "media/PhotoDetails.hpp"
#include "media/Thumbnail.hpp"
#include "tests/support/Fixtures.hpp"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char* const kOutputs[] = {"jpg", "png", "tiff", "heic"};
// The formats that carry a colour profile but no details.
const char* const kProfileOnlyOutputs[] = {"webp", "avif"};

// exiftool's view of each file (-n: numbers as stored, -G1: tags named by their directory), by
// path. One run for all of them: exiftool takes most of its time starting.
std::map<std::string, json> exiftoolTags(const std::vector<fs::path>& files, const std::string& options = "")
{
    std::string command = "exiftool -j -n -G1 -a " + options;
    for (const fs::path& file : files)
        command += " " + shellQuote(file.string());
    std::map<std::string, json> tags;
    for (const json& entry : json::parse(capture(command + " 2>/dev/null")))
        tags[entry["SourceFile"].get<std::string>()] = entry;
    return tags;
}

// The tags of a file that would give away where a photo was taken or which camera took it, or
// that were never asked for: GPS, location names, serial numbers, previews, XMP and IPTC.
std::vector<std::string> leaks(const json& tags)
{
    std::vector<std::string> found;
    for (const auto& [name, value] : tags.items()) {
        for (const char* bad :
             {"GPS", "City", "Location", "Serial", "Thumbnail", "IFD1:", "XMP", "IPTC", "MakerNote"})
            if (name.find(bad) != std::string::npos)
                found.push_back(name);
    }
    return found;
}

Bytes fileBytes(const fs::path& file)
{
    const std::string bytes = contents(file);
    return {bytes.begin(), bytes.end()};
}

// One of libvips' built-in ICC profiles ("srgb", "p3", "cmyk").
Bytes builtInProfile(const char* name)
{
    ensureVipsStarted();
    VipsBlob* blob = nullptr;
    EXPECT_EQ(vips_profile_load(name, &blob, nullptr), 0) << name;
    std::size_t length = 0;
    const auto* data = static_cast<const std::uint8_t*>(vips_blob_get(blob, &length));
    Bytes bytes(data, data + length);
    vips_area_unref(VIPS_AREA(blob));
    return bytes;
}

fs::path convertTo(const fs::path& source, const std::string& format, const ConversionOptions& options,
                   const std::string& tag)
{
    const fs::path out = source.parent_path() /
                         (source.stem().string() + "-" + source.extension().string().substr(1) + tag + "." +
                          extForFormat(format));
    const std::optional<Image> picture = loadImageFullSize(source, options);
    EXPECT_TRUE(picture) << source;
    writeBytes(out, picture ? encodeImage(*picture, format, 0.95).value_or(Bytes()) : Bytes());
    return out;
}

const std::string kDetails =
    " -Make=Quillontest -Model='QT 1' -LensModel='QT 50mm' -DateTimeOriginal='2024:05:06 07:08:09'"
    " -OffsetTimeOriginal=+02:00 -ExposureTime=1/250 -FNumber=2.8 -FocalLength=50 -ISO=200 -Artist=Ann"
    " -Copyright='(c) Ann'";
const std::string kIdentifying =
    " -GPSLatitude=48.85 -GPSLatitudeRef=N -GPSLongitude=2.35 -GPSLongitudeRef=E -SerialNumber=SN123"
    " -LensSerialNumber=LSN456 -XMP-photoshop:City=Paris -XMP-iptcExt:LocationShownCity=Paris";

}  // namespace

// Sources made by exiftool in both byte orders, each carrying a location, serial numbers and location names
// beside the details; every output format gets exactly the allow-listed details, upright, and
// nothing of the source's header without the option or in formats that take no details.
TEST(PhotoDetails, KeptDetailsReachEveryFormatWithoutLocationOrSerialNumbers)
{
    const fs::path dir = freshDir("photo-details");
    const vips::VImage picture = patchImage(160, 48);
    picture.write_to_file((dir / "thumb.jpg").c_str());
    struct Source {
        const char* file;
        std::string save, tags;
    };
    const Source sources[] = {
        // Stored on its side, tagged with orientation 6.
        {"camera.jpg", "[Q=95,strip]",
         kDetails + kIdentifying + " -IPTC:City=Paris '-ThumbnailImage<=" + (dir / "thumb.jpg").string() +
             "' -Orientation#=6"},
        {"phone.heic", "[Q=90,strip]", kDetails + kIdentifying},
        {"edited.png", "[strip]", kDetails + kIdentifying + " -ExifByteOrder=II"},
        {"relayed.png", "", ""},  // the block as libvips rewrites it for a copy, with fields of its own added
    };
    std::vector<fs::path> sourceFiles, outputs, plainOutputs;
    for (const Source& source : sources) {
        const fs::path file = dir / source.file;
        if (source.tags.empty()) {
            ASSERT_EQ(run("vips copy " + shellQuote((dir / "edited.png").string()) + " " +
                          shellQuote(file.string())),
                      0);
        } else {
            picture.write_to_file((file.string() + source.save).c_str());
            ASSERT_TRUE(exiftoolWrite(file, source.tags)) << source.file;
        }
        sourceFiles.push_back(file);
        for (const char* format : kOutputs)
            outputs.push_back(convertTo(file, format, {.keepDetails = true}, "-kept"));
    }
    for (const char* format : kOutputs)
        plainOutputs.push_back(convertTo(dir / "camera.jpg", format, {}, "-plain"));
    for (const char* format : kProfileOnlyOutputs)
        plainOutputs.push_back(convertTo(dir / "camera.jpg", format, {.keepDetails = true}, "-bare"));

    // The sources really carry what must not be copied.
    std::map<std::string, json> tags = exiftoolTags(sourceFiles);
    for (const fs::path& file : sourceFiles) {
        SCOPED_TRACE(file.filename().string());
        EXPECT_EQ(tags[file.string()].value("GPS:GPSLatitude", 0.0), 48.85);
        EXPECT_EQ(tags[file.string()].value("ExifIFD:SerialNumber", ""), "SN123");
        EXPECT_EQ(tags[file.string()].value("ExifIFD:OffsetTimeOriginal", ""), "+02:00");
    }
    EXPECT_TRUE(tags[(dir / "camera.jpg").string()].contains("IFD1:ThumbnailImage"));
    EXPECT_EQ(tags[(dir / "camera.jpg").string()].value("IPTC:City", ""), "Paris");

    const json kept = {{"IFD0:Make", "Quillontest"},
                       {"IFD0:Model", "QT 1"},
                       {"IFD0:Orientation", 1},
                       {"IFD0:Artist", "Ann"},
                       {"IFD0:Copyright", "(c) Ann"},
                       {"ExifIFD:DateTimeOriginal", "2024:05:06 07:08:09"},
                       {"ExifIFD:OffsetTimeOriginal", "+02:00"},
                       {"ExifIFD:ExposureTime", 0.004},
                       {"ExifIFD:FNumber", 2.8},
                       {"ExifIFD:FocalLength", 50},
                       {"ExifIFD:ISO", 200},
                       {"ExifIFD:LensModel", "QT 50mm"}};
    std::vector<fs::path> all = outputs;
    all.insert(all.end(), plainOutputs.begin(), plainOutputs.end());
    tags = exiftoolTags(all);
    for (const fs::path& out : all) {
        SCOPED_TRACE(out.filename().string());
        const json& found = tags[out.string()];
        if (out.stem().string().ends_with("-kept")) {
            for (const auto& [name, value] : kept.items())
                EXPECT_EQ(found.value(name, json()), value) << name;
        } else {
            EXPECT_FALSE(found.contains("IFD0:Make"));
            EXPECT_FALSE(found.contains("ExifIFD:DateTimeOriginal"));
            EXPECT_EQ(found.value("IFD0:Orientation", 1), 1);  // TIFF always records its row order
        }
        EXPECT_EQ(leaks(found), std::vector<std::string>());
        // Upright: the turned source is 48 wide and 160 high once its tag is applied.
        const bool turned = out.filename().string().starts_with("camera");
        EXPECT_EQ(found.value("Composite:ImageSize", ""), turned ? "48 160" : "160 48");
        // Still a well-formed file whose pixels are the picture's (the turned one's top stripe).
        const vips::VImage back = vips::VImage::new_from_file(out.c_str()).copy_memory();
        if (!turned) {
            EXPECT_LE(patchError(back), 12);
        } else {
            EXPECT_NEAR(regionMean(back, 10, 4, 28, 10)[0], kPatchColours[0], 12);
        }
    }
}

// A big-endian TIFF (libvips writes the machine's order) gets the details and the profile in its
// own byte order, and its pixels stay readable.
TEST(PhotoDetails, DetailsGoIntoABigEndianTiff)
{
    const fs::path dir = freshDir("photo-details-tiff");
    const fs::path source = dir / "source.jpg", bigEndian = dir / "big.tif", out = dir / "big-kept.tif";
    patchImage(160, 48).write_to_file((source.string() + "[Q=95,strip]").c_str());
    ASSERT_TRUE(exiftoolWrite(source, kDetails + kIdentifying));
    ASSERT_EQ(run("convert " + shellQuote(source.string()) +
                  " -strip -define tiff:endian=msb -compress lzw " + shellQuote(bigEndian.string())),
              0);
    // Fields of the file's own directory are carried over whole, eight-byte doubles too (exiftool
    // writes these two map fields as doubles; a converted TIFF holds only the encoder's own fields).
    const std::string transform = "1.5 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16";
    ASSERT_TRUE(exiftoolWrite(bigEndian, "'-ModelTransform=" + transform + "' '-PixelScale=0.25 0.5 0.75'"));
    ASSERT_EQ(fileBytes(bigEndian).at(0), 'M');
    const std::optional<Image> picture = loadImageFullSize(source, {.keepDetails = true, .toSrgb = true});
    ASSERT_TRUE(picture);
    const std::optional<Bytes> file = withEmbeddedDetails(fileBytes(bigEndian), DetailsContainer::Tiff,
                                                          *picture);
    ASSERT_TRUE(file);
    writeBytes(out, *file);
    json tags = exiftoolTags(
        {out},
        "-ProfileDescription -Make -FNumber -OffsetTimeOriginal -Orientation -GPSLatitude -ModelTransform "
        "-PixelScale")[out.string()];
    EXPECT_EQ(tags.value("IFD0:Make", ""), "Quillontest");
    EXPECT_EQ(tags.value("ExifIFD:FNumber", 0.0), 2.8);
    EXPECT_EQ(tags.value("ExifIFD:OffsetTimeOriginal", ""), "+02:00");
    EXPECT_EQ(tags.value("IFD0:Orientation", 0), 1);
    EXPECT_EQ(tags.value("ICC_Profile:ProfileDescription", ""), "sRGB");
    EXPECT_EQ(tags.value("IFD0:ModelTransform", ""), transform);
    EXPECT_EQ(tags.value("IFD0:PixelScale", ""), "0.25 0.5 0.75");
    EXPECT_EQ(leaks(tags), std::vector<std::string>());
    EXPECT_LE(patchError(vips::VImage::new_from_file(out.c_str()).copy_memory()), 6);
    // A file that is no TIFF is refused rather than damaged.
    EXPECT_FALSE(
        withEmbeddedDetails(Bytes{'n', 'o', 'p', 'e', 0, 0, 0, 0, 0}, DetailsContainer::Tiff, *picture));
}

// A Display P3 photo keeps its numbers and its profile in every format, so its saturated colours
// survive; with toSrgb it becomes sRGB. Output in sRGB is tagged sRGB either way.
TEST(PhotoDetails, WideGamutPhotosKeepTheirProfileUnlessAskedForSrgb)
{
    const fs::path dir = freshDir("photo-colours");
    const vips::VImage p3 = patchIn("p3");
    struct Conversion {
        fs::path out;
        bool wide;
        double tolerance;  // lossy sources and outputs move a few levels
    };
    std::vector<Conversion> conversions;
    std::vector<fs::path> outputs;
    std::string showAll = "true";
    // Every source into every format with its own profile; sRGB on request from one of them.
    for (const auto& [name, picture, tolerance] : {std::tuple{"p3.jpg[Q=98]", p3, 8.0},
                                                   {"p3.png", p3, 0.0},
                                                   {"p3.tif", p3, 0.0},
                                                   {"p3.heic[Q=98]", p3, 8.0},
                                                   {"plain.png", patchImage(160, 48), 0.0}}) {
        picture.write_to_file((dir / name).c_str());
        const fs::path source = dir / std::string(name).substr(0, std::string(name).find('['));
        for (const std::string format : {"jpg", "png", "tiff", "heic", "webp", "avif"}) {
            for (bool toSrgb : {false, true}) {
                if (toSrgb && source.filename() != "p3.jpg")
                    continue;
                const fs::path out = convertTo(source, format, {.toSrgb = toSrgb}, toSrgb ? "-srgb" : "-own");
                const bool lossy = format == "jpg" || format == "heic" || format == "webp" ||
                                   format == "avif";
                conversions.push_back(
                    {out, std::string(name).starts_with("p3") && !toSrgb, tolerance + (lossy ? 11 : 3)});
                outputs.push_back(out);
                // How the file looks when read through the profile it carries, by libvips' own tool.
                showAll += " && vips icc_transform " + shellQuote(out.string()) + " " +
                           shellQuote(out.string() + ".shown.png") + " srgb --embedded --intent relative";
            }
        }
    }
    ASSERT_EQ(run(showAll), 0);
    const std::string p3Name = exiftoolTags({dir / "p3.png"})[(dir / "p3.png").string()].value(
        "ICC_Profile:ProfileDescription", "");
    ASSERT_FALSE(p3Name.empty());
    ASSERT_EQ(p3Name.find("sRGB"), std::string::npos);

    const std::map<std::string, json> tags = exiftoolTags(outputs, "-ProfileDescription");
    // The red stripe as stored in the P3 source: well away from sRGB's 230, 30, 30.
    const std::vector<double> p3Red = regionMean(p3, 5, 12, 10, 24);
    ASSERT_GT(std::fabs(p3Red[1] - kPatchColours[1]), 15);
    for (const Conversion& c : conversions) {
        SCOPED_TRACE(c.out.filename().string());
        EXPECT_EQ(tags.at(c.out.string()).value("ICC_Profile:ProfileDescription", ""),
                  c.wide ? p3Name : "sRGB");
        const vips::VImage stored = vips::VImage::new_from_file(c.out.c_str()).copy_memory();
        EXPECT_LE(
            patchError(vips::VImage::new_from_file((c.out.string() + ".shown.png").c_str()).copy_memory()),
            c.tolerance);
        if (c.wide) {
            // The numbers are the source's own, not sRGB's.
            const std::vector<double> red = regionMean(stored, 5, 12, 10, 24);
            for (int band = 0; band < 3; ++band)
                EXPECT_NEAR(red[band], p3Red[band], c.tolerance) << "band " << band;
        } else {
            EXPECT_LE(patchError(stored), c.tolerance);
        }
    }
}

TEST(PhotoDetails, SrgbProfilesAreToldFromOthersByTheirColorants)
{
    const Bytes srgb = builtInProfile("srgb");
    const std::span<const std::uint8_t> carried = srgbProfile();
    for (const auto& [what, profile, isSrgb] :
         {std::tuple{"sRGB", srgb, true},
          {"sRGB as files carry it", Bytes(carried.begin(), carried.end()), true},
          {"Display P3", builtInProfile("p3"), false},
          {"CMYK", builtInProfile("cmyk"), false},
          {"empty", Bytes(), false},
          {"cut short", Bytes(srgb.begin(), srgb.begin() + 140), false},
          {"not a profile", Bytes(srgb.size(), 0x41), false}})
        EXPECT_EQ(isSrgbProfile(profile), isSrgb) << what;
}

// A profile too large for one JPEG segment is split across several and comes back whole, in JPEG
// as in PNG.
TEST(PhotoDetails, ALargeProfileComesBackWhole)
{
    const fs::path dir = freshDir("photo-large-profile");
    Bytes profile = builtInProfile("p3");
    // Padding after the tags, counted in the header's size field, as large printer profiles have.
    profile.resize(140000, 0x5A);
    for (int i = 0; i < 4; ++i)
        profile[i] = static_cast<std::uint8_t>(profile.size() >> (8 * (3 - i)));
    vips::VImage pixels = patchImage(160, 48).copy();
    vips_image_set_blob_copy(pixels.get_image(), VIPS_META_ICC_NAME, profile.data(), profile.size());
    for (const std::string format : {"jpg", "png"}) {
        SCOPED_TRACE(format);
        const fs::path out = dir / ("large." + format), back = dir / ("large-" + format + ".icc");
        writeBytes(out, encodeImage(Image(pixels), format, 0.9).value_or(Bytes()));
        ASSERT_EQ(
            run("exiftool -b -ICC_Profile " + shellQuote(out.string()) + " > " + shellQuote(back.string())),
            0);
        EXPECT_EQ(fileBytes(back), profile);
    }
}
