#include "media/PhotoDetails.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include <libexif/exif-data.h>
#include <zlib.h>

namespace quillon {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Metadata fields of a converted picture's libvips header. The EXIF block has a name of its own:
// libvips' "exif-data" is whatever a loader read from the source, this one only what was kept.
constexpr const char* kDetailsField = "quillon-details-exif";

// ---------------------------------------------------------------------------------------------
// TIFF directories, as EXIF blocks and TIFF files are made of

enum class ByteOrder { Little, Big };

// TIFF field types.
enum : std::uint16_t {
    kByte = 1,
    kAscii = 2,
    kShort = 3,
    kLong = 4,
    kRational = 5,
    kUndefined = 7,
    kSshort = 8,
    kSlong = 9,
    kSrational = 10,
    kFloat = 11,
    kDouble = 12,
    kIfd = 13,
};

// The size of one number of a type: a rational is two longs, and swapping byte order turns each
// of them on its own.
std::size_t unitSize(std::uint16_t type)
{
    switch (type) {
    case kShort:
    case kSshort:
        return 2;
    case kLong:
    case kSlong:
    case kRational:
    case kSrational:
    case kFloat:
    case kIfd:
        return 4;
    case kDouble:
        return 8;
    default:
        return 1;
    }
}

std::size_t unitsPerValue(std::uint16_t type) { return type == kRational || type == kSrational ? 2 : 1; }

// One field of a directory, its value held in the byte order of the file it is written to.
struct Field {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    Bytes value;
};

void reverseUnits(Bytes& value, std::uint16_t type)
{
    const std::size_t unit = unitSize(type);
    if (unit == 1)
        return;
    for (std::size_t i = 0; i + unit <= value.size(); i += unit)
        std::reverse(value.begin() + static_cast<std::ptrdiff_t>(i),
                     value.begin() + static_cast<std::ptrdiff_t>(i + unit));
}

std::uint32_t readNumber(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size,
                         ByteOrder order)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t byte = bytes[at + i];
        value |= order == ByteOrder::Little ? byte << (8 * i) : byte << (8 * (size - 1 - i));
    }
    return value;
}

void putNumber(Bytes& bytes, std::size_t at, std::uint32_t value, std::size_t size, ByteOrder order)
{
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t shift = order == ByteOrder::Little ? 8 * i : 8 * (size - 1 - i);
        bytes[at + i] = static_cast<std::uint8_t>(value >> shift);
    }
}

void appendNumber(Bytes& bytes, std::uint32_t value, std::size_t size, ByteOrder order)
{
    bytes.resize(bytes.size() + size);
    putNumber(bytes, bytes.size() - size, value, size, order);
}

// The fields of the directory at `offset`, and the offset of the next one. Nothing when the
// directory or a value lies outside the bytes.
struct Directory {
    std::vector<Field> fields;
    std::uint32_t next = 0;
};

std::optional<Directory> readDirectory(std::span<const std::uint8_t> bytes, std::size_t offset,
                                       ByteOrder order)
{
    if (offset + 2 > bytes.size())
        return std::nullopt;
    const std::size_t count = readNumber(bytes, offset, 2, order);
    if (offset + 2 + 12 * count + 4 > bytes.size())
        return std::nullopt;
    Directory directory;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = offset + 2 + 12 * i;
        Field field;
        field.tag = static_cast<std::uint16_t>(readNumber(bytes, at, 2, order));
        field.type = static_cast<std::uint16_t>(readNumber(bytes, at + 2, 2, order));
        field.count = readNumber(bytes, at + 4, 4, order);
        const std::uint64_t size = std::uint64_t{field.count} * unitSize(field.type) *
                                   unitsPerValue(field.type);
        std::size_t valueAt = at + 8;
        if (size > 4)
            valueAt = readNumber(bytes, at + 8, 4, order);
        if (valueAt > bytes.size() || size > bytes.size() - valueAt)
            return std::nullopt;
        field.value.assign(bytes.begin() + static_cast<std::ptrdiff_t>(valueAt),
                           bytes.begin() + static_cast<std::ptrdiff_t>(valueAt + size));
        directory.fields.push_back(std::move(field));
    }
    directory.next = readNumber(bytes, offset + 2 + 12 * count, 4, order);
    return directory;
}

constexpr std::uint16_t kExifPointerTag = 0x8769;

// Appends a first directory (with a pointer to the EXIF directory when there is one), the EXIF
// directory and the values that do not fit into their fields, at the next even offset of `out`.
// Fields are written in ascending tag order, as readers expect. The header's offset of the first
// directory (at byte 4) then points at the new one. False when the result would not be addressable
// with 32-bit offsets.
bool appendDirectories(Bytes& out, std::vector<Field> primary, std::vector<Field> exif, std::uint32_t next,
                       ByteOrder order)
{
    if (out.size() % 2 != 0)
        out.push_back(0);
    const auto byTag = [](const Field& a, const Field& b) { return a.tag < b.tag; };
    const std::size_t primaryCount = primary.size() + (exif.empty() ? 0 : 1);
    const std::uint64_t primaryAt = out.size();
    const std::uint64_t exifAt = primaryAt + 2 + 12 * primaryCount + 4;
    std::uint64_t valuesAt = exifAt + (exif.empty() ? 0 : 2 + 12 * exif.size() + 4);
    std::uint64_t end = valuesAt;
    for (const auto* fields : {&primary, &exif})
        for (const Field& field : *fields)
            if (field.value.size() > 4)
                end += field.value.size() + field.value.size() % 2;
    if (end > 0xFFFFFFFFu)
        return false;
    if (!exif.empty()) {
        Field pointer{kExifPointerTag, kLong, 1, {}};
        appendNumber(pointer.value, static_cast<std::uint32_t>(exifAt), 4, order);
        primary.push_back(std::move(pointer));
    }
    std::stable_sort(primary.begin(), primary.end(), byTag);
    std::stable_sort(exif.begin(), exif.end(), byTag);

    Bytes values;
    const auto writeDirectory = [&](const std::vector<Field>& fields, std::uint32_t following) {
        appendNumber(out, static_cast<std::uint32_t>(fields.size()), 2, order);
        for (const Field& field : fields) {
            appendNumber(out, field.tag, 2, order);
            appendNumber(out, field.type, 2, order);
            appendNumber(out, field.count, 4, order);
            if (field.value.size() <= 4) {
                Bytes inline4 = field.value;
                inline4.resize(4, 0);
                out.insert(out.end(), inline4.begin(), inline4.end());
            } else {
                appendNumber(out, static_cast<std::uint32_t>(valuesAt + values.size()), 4, order);
                values.insert(values.end(), field.value.begin(), field.value.end());
                if (values.size() % 2 != 0)
                    values.push_back(0);
            }
        }
        appendNumber(out, following, 4, order);
    };
    writeDirectory(primary, next);
    if (!exif.empty())
        writeDirectory(exif, 0);
    out.insert(out.end(), values.begin(), values.end());
    putNumber(out, 4, static_cast<std::uint32_t>(primaryAt), 4, order);
    return true;
}

// The first directory and the EXIF directory of an EXIF block made by keptDetailsExif.
struct DetailFields {
    std::vector<Field> primary;
    std::vector<Field> exif;
};

std::optional<DetailFields> readDetailFields(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 8 || bytes[0] != 'I' || bytes[1] != 'I')
        return std::nullopt;
    std::optional<Directory> primary = readDirectory(bytes, readNumber(bytes, 4, 4, ByteOrder::Little),
                                                     ByteOrder::Little);
    if (!primary)
        return std::nullopt;
    DetailFields fields;
    for (Field& field : primary->fields) {
        if (field.tag != kExifPointerTag) {
            fields.primary.push_back(std::move(field));
            continue;
        }
        if (field.value.size() != 4)
            return std::nullopt;
        std::optional<Directory> exif = readDirectory(bytes, readNumber(field.value, 0, 4, ByteOrder::Little),
                                                      ByteOrder::Little);
        if (!exif)
            return std::nullopt;
        fields.exif = std::move(exif->fields);
    }
    return fields;
}

// ---------------------------------------------------------------------------------------------
// The allow-list

enum class Ifd { Primary, Exif };

struct KeptTag {
    std::uint16_t tag;
    Ifd ifd;
    std::uint16_t type;      // the type the value must have; a SHORT tag may also come as LONG
    std::uint32_t maxCount;  // at most this many values (bytes for text)
};

constexpr std::uint16_t kOrientationTag = 0x0112;
constexpr std::uint16_t kExifVersionTag = 0x9000;
constexpr std::uint32_t kMaxText = 1024;

// What a converted photo keeps: when and with what it was taken, how it was exposed, and whose it
// is. Nothing that says where (GPS, location names), nothing that identifies the camera body or
// lens (serial numbers), no maker notes and no embedded preview.
constexpr KeptTag kKeptTags[] = {
    {0x010F, Ifd::Primary, kAscii, kMaxText},  // Make
    {0x0110, Ifd::Primary, kAscii, kMaxText},  // Model
    {0x0132, Ifd::Primary, kAscii, 20},        // DateTime
    {0x013B, Ifd::Primary, kAscii, kMaxText},  // Artist
    {0x8298, Ifd::Primary, kAscii, kMaxText},  // Copyright
    {0x829A, Ifd::Exif, kRational, 1},         // ExposureTime
    {0x829D, Ifd::Exif, kRational, 1},         // FNumber
    {0x8822, Ifd::Exif, kShort, 1},            // ExposureProgram
    {0x8827, Ifd::Exif, kShort, 3},            // PhotographicSensitivity (ISO)
    {0x9003, Ifd::Exif, kAscii, 20},           // DateTimeOriginal
    {0x9004, Ifd::Exif, kAscii, 20},           // DateTimeDigitized
    {0x9010, Ifd::Exif, kAscii, 7},            // OffsetTime
    {0x9011, Ifd::Exif, kAscii, 7},            // OffsetTimeOriginal
    {0x9012, Ifd::Exif, kAscii, 7},            // OffsetTimeDigitized
    {0x9204, Ifd::Exif, kSrational, 1},        // ExposureBiasValue
    {0x920A, Ifd::Exif, kRational, 1},         // FocalLength
    {0x9290, Ifd::Exif, kAscii, 16},           // SubSecTime
    {0x9291, Ifd::Exif, kAscii, 16},           // SubSecTimeOriginal
    {0x9292, Ifd::Exif, kAscii, 16},           // SubSecTimeDigitized
    {0xA402, Ifd::Exif, kShort, 1},            // ExposureMode
    {0xA405, Ifd::Exif, kShort, 1},            // FocalLengthIn35mmFilm
    {0xA432, Ifd::Exif, kRational, 4},         // LensSpecification
    {0xA433, Ifd::Exif, kAscii, kMaxText},     // LensMake
    {0xA434, Ifd::Exif, kAscii, kMaxText},     // LensModel
};

struct ExifDataDeleter {
    void operator()(ExifData* data) const { exif_data_unref(data); }
};

// The source's EXIF as libexif reads it: nothing added to satisfy the standard (that would invent
// values such as a date) and no entry dropped for being in an unexpected directory.
std::unique_ptr<ExifData, ExifDataDeleter> parseExif(const vips::VImage& source)
{
    if (source.get_image() == nullptr || source.get_typeof(VIPS_META_EXIF_NAME) == 0)
        return nullptr;
    std::size_t length = 0;
    const auto* data = static_cast<const std::uint8_t*>(source.get_blob(VIPS_META_EXIF_NAME, &length));
    if (data == nullptr || length < 8)
        return nullptr;
    // Loaders hand the block over with or without the "Exif\0\0" prefix that libexif looks for.
    Bytes block;
    if (std::memcmp(data, "Exif\0\0", 6) != 0)
        block.assign({'E', 'x', 'i', 'f', 0, 0});
    block.insert(block.end(), data, data + length);
    std::unique_ptr<ExifData, ExifDataDeleter> exif(exif_data_new());
    if (!exif)
        return nullptr;
    exif_data_unset_option(exif.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_unset_option(exif.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_load_data(exif.get(), block.data(), static_cast<unsigned int>(block.size()));
    return exif;
}

// The entry's value as a field in little-endian order, when it has the type and size the tag
// allows and (for text) says something.
std::optional<Field> keptField(const ExifEntry& entry, const KeptTag& kept, ByteOrder sourceOrder)
{
    std::uint16_t type = static_cast<std::uint16_t>(entry.format);
    const bool typeFits = type == kept.type || (kept.type == kShort && type == kLong);
    if (!typeFits || entry.components == 0 || entry.components > kept.maxCount || entry.data == nullptr)
        return std::nullopt;
    const std::size_t size = entry.components * unitSize(type) * unitsPerValue(type);
    if (entry.size < size)
        return std::nullopt;
    Field field{kept.tag, type, static_cast<std::uint32_t>(entry.components),
                Bytes(entry.data, entry.data + size)};
    if (type == kAscii) {
        // Text up to its first NUL, written with exactly one; blank text (cameras pad unset
        // fields with spaces) is left out.
        const auto end = std::find(field.value.begin(), field.value.end(), 0);
        field.value.erase(end, field.value.end());
        if (std::all_of(field.value.begin(), field.value.end(), [](std::uint8_t c) { return c == ' '; }))
            return std::nullopt;
        field.value.push_back(0);
        field.count = static_cast<std::uint32_t>(field.value.size());
        return field;
    }
    if (sourceOrder == ByteOrder::Big)
        reverseUnits(field.value, type);
    if (type == kLong) {
        // A SHORT tag stored as LONG: written as the SHORT it should be, when it fits.
        Field narrowed{kept.tag, kShort, field.count, {}};
        for (std::size_t i = 0; i < field.count; ++i) {
            const std::uint32_t value = readNumber(field.value, 4 * i, 4, ByteOrder::Little);
            if (value > 0xFFFF)
                return std::nullopt;
            appendNumber(narrowed.value, value, 2, ByteOrder::Little);
        }
        return narrowed;
    }
    return field;
}

// ---------------------------------------------------------------------------------------------
// ICC profiles

std::uint32_t bigEndian32(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return readNumber(bytes, at, 4, ByteOrder::Big);
}

// The XYZ numbers of a colorant tag ("rXYZ", "gXYZ", "bXYZ"), when the profile has it.
std::optional<std::array<double, 3>> colorant(std::span<const std::uint8_t> profile, const char* signature)
{
    const std::uint32_t count = bigEndian32(profile, 128);
    if (count > (profile.size() - 132) / 12)
        return std::nullopt;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = 132 + 12 * static_cast<std::size_t>(i);
        if (std::memcmp(profile.data() + at, signature, 4) != 0)
            continue;
        const std::uint32_t offset = bigEndian32(profile, at + 4);
        if (offset > profile.size() || profile.size() - offset < 20 ||
            std::memcmp(profile.data() + offset, "XYZ ", 4) != 0)
            return std::nullopt;
        std::array<double, 3> xyz{};
        for (std::size_t c = 0; c < 3; ++c)
            xyz[c] = static_cast<std::int32_t>(bigEndian32(profile, offset + 8 + 4 * c)) / 65536.0;
        return xyz;
    }
    return std::nullopt;
}

// The profile with tags whose data are byte for byte the same stored once, which the profile
// format allows (tags may share data). libvips' sRGB profile holds its tone curve three times, one
// per channel: sharing it makes the profile that converted sRGB files carry 2.8 KB instead of
// 6.9 KB. The profile unchanged when its tag table cannot be read.
Bytes withSharedTagData(Bytes profile)
{
    if (profile.size() < 132 || bigEndian32(profile, 0) != profile.size())
        return profile;
    const std::uint32_t count = bigEndian32(profile, 128);
    if (count == 0 || count > (profile.size() - 132) / 12)
        return profile;
    const std::size_t dataStart = 132 + 12 * static_cast<std::size_t>(count);
    Bytes out(profile.begin(), profile.begin() + static_cast<std::ptrdiff_t>(dataStart));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> written;  // (offset in out, size) of each tag's data
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t entry = 132 + 12 * static_cast<std::size_t>(i);
        const std::uint32_t offset = bigEndian32(profile, entry + 4), size = bigEndian32(profile, entry + 8);
        if (offset < dataStart || offset > profile.size() || size > profile.size() - offset)
            return profile;
        const auto begin = profile.begin() + offset;
        std::uint32_t placed = 0;
        for (std::uint32_t j = 0; j < i && placed == 0; ++j) {
            const auto& [at, length] = written[j];
            if (length == size && std::equal(begin, begin + size, out.begin() + at))
                placed = at;
        }
        if (placed == 0) {
            while (out.size() % 4 != 0)
                out.push_back(0);
            placed = static_cast<std::uint32_t>(out.size());
            out.insert(out.end(), begin, begin + size);
        }
        written.emplace_back(placed, size);
        putNumber(out, entry + 4, placed, 4, ByteOrder::Big);
    }
    while (out.size() % 4 != 0)
        out.push_back(0);
    putNumber(out, 0, static_cast<std::uint32_t>(out.size()), 4, ByteOrder::Big);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Containers

// Inserts the APP1 Exif segment and the APP2 ICC_PROFILE segments right after the start of the
// file, or after its JFIF segment, which must come first.
std::optional<Bytes> intoJpeg(Bytes file, std::span<const std::uint8_t> profile,
                              std::span<const std::uint8_t> exif)
{
    if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8)
        return std::nullopt;
    std::size_t at = 2;
    if (file.size() >= at + 4 && file[at] == 0xFF && file[at + 1] == 0xE0)
        at += 2 + ((std::size_t{file[at + 2]} << 8) | file[at + 3]);
    if (at > file.size())
        return std::nullopt;
    constexpr std::size_t kMaxSegment = 65535 - 2;  // the length field counts itself
    Bytes segments;
    const auto segment = [&segments](std::uint8_t marker, std::span<const std::uint8_t> head,
                                     std::span<const std::uint8_t> body) {
        const std::size_t length = 2 + head.size() + body.size();
        segments.insert(segments.end(), {0xFF, marker, static_cast<std::uint8_t>(length >> 8),
                                         static_cast<std::uint8_t>(length)});
        segments.insert(segments.end(), head.begin(), head.end());
        segments.insert(segments.end(), body.begin(), body.end());
    };
    if (!exif.empty()) {
        static constexpr std::uint8_t kExifHead[] = {'E', 'x', 'i', 'f', 0, 0};
        if (exif.size() + sizeof kExifHead > kMaxSegment)
            return std::nullopt;
        segment(0xE1, kExifHead, exif);
    }
    if (!profile.empty()) {
        // A profile larger than one segment is split into numbered chunks, at most 255.
        constexpr std::size_t kHead = 14;  // "ICC_PROFILE\0", chunk number, chunk count
        constexpr std::size_t kChunk = kMaxSegment - kHead;
        const std::size_t chunks = (profile.size() + kChunk - 1) / kChunk;
        if (chunks > 255)
            return std::nullopt;
        for (std::size_t i = 0; i < chunks; ++i) {
            std::uint8_t head[kHead] = {};
            std::memcpy(head, "ICC_PROFILE", 12);
            head[12] = static_cast<std::uint8_t>(i + 1);
            head[13] = static_cast<std::uint8_t>(chunks);
            segment(0xE2, head, profile.subspan(i * kChunk, std::min(kChunk, profile.size() - i * kChunk)));
        }
    }
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), segments.begin(), segments.end());
    return file;
}

void appendPngChunk(Bytes& out, const char* type, const Bytes& data)
{
    appendNumber(out, static_cast<std::uint32_t>(data.size()), 4, ByteOrder::Big);
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), out.data() + typeAt, static_cast<uInt>(4 + data.size()));
    appendNumber(out, static_cast<std::uint32_t>(crc), 4, ByteOrder::Big);
}

// Inserts iCCP (the profile, deflated) and eXIf right after the header chunk, before any pixel
// data as both must come.
std::optional<Bytes> intoPng(Bytes file, std::span<const std::uint8_t> profile,
                             std::span<const std::uint8_t> exif)
{
    static constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    constexpr std::size_t kAfterHeader = 8 + 4 + 4 + 13 + 4;
    if (file.size() < kAfterHeader || std::memcmp(file.data(), kSignature, 8) != 0 ||
        std::memcmp(file.data() + 12, "IHDR", 4) != 0)
        return std::nullopt;
    Bytes chunks;
    if (!profile.empty()) {
        static constexpr char kName[] = "ICC profile";  // with its NUL, then compression method 0
        Bytes data(kName, kName + sizeof kName);
        data.push_back(0);
        uLongf compressedSize = compressBound(static_cast<uLong>(profile.size()));
        const std::size_t headSize = data.size();
        data.resize(headSize + compressedSize);
        if (compress2(data.data() + headSize, &compressedSize, profile.data(),
                      static_cast<uLong>(profile.size()), 6) != Z_OK)
            return std::nullopt;
        data.resize(headSize + compressedSize);
        appendPngChunk(chunks, "iCCP", data);
    }
    if (!exif.empty())
        appendPngChunk(chunks, "eXIf", Bytes(exif.begin(), exif.end()));
    file.insert(file.begin() + kAfterHeader, chunks.begin(), chunks.end());
    return file;
}

// Writes a new first directory at the end of a classic TIFF file: its own fields, less those the
// details replace, with the details and the profile (tag 34675) added, followed by the EXIF
// directory. The old directory stays in the file unreferenced; every other offset in the file
// stays valid, since nothing before the end moves.
std::optional<Bytes> intoTiff(Bytes file, std::span<const std::uint8_t> profile,
                              std::span<const std::uint8_t> exif)
{
    if (file.size() < 8)
        return std::nullopt;
    const ByteOrder order = file[0] == 'M' ? ByteOrder::Big : ByteOrder::Little;
    if (file[0] != file[1] || (file[0] != 'I' && file[0] != 'M') || readNumber(file, 2, 2, order) != 42)
        return std::nullopt;  // BigTIFF or not a TIFF at all
    std::optional<Directory> first = readDirectory(file, readNumber(file, 4, 4, order), order);
    if (!first)
        return std::nullopt;

    DetailFields details;
    if (!exif.empty()) {
        std::optional<DetailFields> read = readDetailFields(exif);
        if (!read)
            return std::nullopt;
        details = std::move(*read);
    }
    constexpr std::uint16_t kIccTag = 34675;
    constexpr std::uint16_t kGpsPointerTag = 0x8825;
    const auto replaced = [&](std::uint16_t tag) {
        if (tag == kExifPointerTag || tag == kGpsPointerTag || (tag == kIccTag && !profile.empty()))
            return true;
        return std::any_of(details.primary.begin(), details.primary.end(),
                           [tag](const Field& f) { return f.tag == tag; });
    };
    std::vector<Field> primary;
    for (Field& field : first->fields)
        if (!replaced(field.tag))
            primary.push_back(std::move(field));
    if (order == ByteOrder::Big) {
        for (auto* fields : {&details.primary, &details.exif})
            for (Field& field : *fields)
                reverseUnits(field.value, field.type);
    }
    primary.insert(primary.end(), details.primary.begin(), details.primary.end());
    if (!profile.empty())
        primary.push_back(Field{kIccTag, kUndefined, static_cast<std::uint32_t>(profile.size()),
                                Bytes(profile.begin(), profile.end())});
    if (!appendDirectories(file, std::move(primary), std::move(details.exif), first->next, order))
        return std::nullopt;
    return file;
}

std::span<const std::uint8_t> blobField(const Image& image, const char* name)
{
    if (image.empty() || image.pixels().get_typeof(name) == 0)
        return {};
    std::size_t length = 0;
    const void* data = image.pixels().get_blob(name, &length);
    if (data == nullptr)
        return {};
    return {static_cast<const std::uint8_t*>(data), length};
}

}  // namespace

std::optional<std::vector<std::uint8_t>> keptDetailsExif(const vips::VImage& source)
{
    const std::unique_ptr<ExifData, ExifDataDeleter> exif = parseExif(source);
    if (!exif)
        return std::nullopt;
    const ByteOrder sourceOrder = exif_data_get_byte_order(exif.get()) == EXIF_BYTE_ORDER_MOTOROLA
                                      ? ByteOrder::Big
                                      : ByteOrder::Little;
    std::vector<Field> primary, exifFields;
    for (const KeptTag& kept : kKeptTags) {
        // Some writers put a tag into the other directory; it is written where it belongs.
        ExifEntry* entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], static_cast<ExifTag>(kept.tag));
        if (entry == nullptr)
            entry = exif_content_get_entry(exif->ifd[EXIF_IFD_EXIF], static_cast<ExifTag>(kept.tag));
        if (entry == nullptr)
            continue;
        if (std::optional<Field> field = keptField(*entry, kept, sourceOrder))
            (kept.ifd == Ifd::Primary ? primary : exifFields).push_back(std::move(*field));
    }
    if (primary.empty() && exifFields.empty())
        return std::nullopt;
    // The pixels are upright, and the offset tags need EXIF 2.31 or later to be read at all.
    primary.push_back(Field{kOrientationTag, kShort, 1, Bytes{1, 0}});
    exifFields.push_back(Field{kExifVersionTag, kUndefined, 4, Bytes{'0', '2', '3', '2'}});
    Bytes block{'I', 'I', 42, 0, 0, 0, 0, 0};
    if (!appendDirectories(block, std::move(primary), std::move(exifFields), 0, ByteOrder::Little))
        return std::nullopt;
    return block;
}

Image withDetailsExif(const Image& image, const std::vector<std::uint8_t>& exif)
{
    if (image.empty())
        return image;
    // A new header over the same pixels, so that the caller's picture stays as it was.
    vips::VImage tagged = image.pixels().copy();
    vips_image_set_blob_copy(tagged.get_image(), kDetailsField, exif.data(), exif.size());
    return Image(std::move(tagged));
}

std::span<const std::uint8_t> detailsExif(const Image& image) { return blobField(image, kDetailsField); }

std::span<const std::uint8_t> colourProfile(const Image& image)
{
    return blobField(image, VIPS_META_ICC_NAME);
}

bool isSrgbProfile(std::span<const std::uint8_t> profile)
{
    if (profile.size() < 132 || std::memcmp(profile.data() + 16, "RGB ", 4) != 0 ||
        std::memcmp(profile.data() + 36, "acsp", 4) != 0)
        return false;
    // sRGB's primaries adapted to the D50 white of the profile connection space, as every sRGB
    // profile states them; a wide-gamut space differs in the second decimal already.
    constexpr double kSrgb[3][3] = {
        {0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7141}};
    constexpr double kTolerance = 0.004;
    const char* signatures[3] = {"rXYZ", "gXYZ", "bXYZ"};
    for (int i = 0; i < 3; ++i) {
        const std::optional<std::array<double, 3>> xyz = colorant(profile, signatures[i]);
        if (!xyz)
            return false;
        for (int c = 0; c < 3; ++c)
            if (std::fabs((*xyz)[c] - kSrgb[i][c]) > kTolerance)
                return false;
    }
    return true;
}

std::span<const std::uint8_t> srgbProfile()
{
    static const Bytes profile = [] {
        ensureVipsStarted();
        VipsBlob* blob = nullptr;
        Bytes bytes;
        if (vips_profile_load("srgb", &blob, nullptr) == 0 && blob != nullptr) {
            const std::unique_ptr<VipsArea, decltype(&vips_area_unref)> owner(VIPS_AREA(blob),
                                                                              vips_area_unref);
            std::size_t length = 0;
            const auto* data = static_cast<const std::uint8_t*>(vips_blob_get(blob, &length));
            bytes = withSharedTagData(Bytes(data, data + length));
        } else {
            vips_error_clear();
        }
        return bytes;
    }();
    return profile;
}

std::optional<std::vector<std::uint8_t>> withEmbeddedDetails(std::vector<std::uint8_t> file,
                                                             DetailsContainer container, const Image& image)
{
    const std::span<const std::uint8_t> profile = colourProfile(image);
    const std::span<const std::uint8_t> exif = detailsExif(image);
    if (profile.empty() && exif.empty())
        return file;
    switch (container) {
    case DetailsContainer::Jpeg:
        return intoJpeg(std::move(file), profile, exif);
    case DetailsContainer::Png:
        return intoPng(std::move(file), profile, exif);
    case DetailsContainer::Tiff:
        return intoTiff(std::move(file), profile, exif);
    }
    return std::nullopt;
}

}  // namespace quillon
