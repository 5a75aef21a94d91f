#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Image records: width, height, colour space and data type over one block of
// pixel planes, used by the Canny path. Plain data, no Qt.
//
// Colour space codes: the low 8 bits select the space, bit 0x100 adds an alpha
// plane. Data type codes: kImageByte (1 byte per sample) .. kImageComplexFloat (8).

inline constexpr int32_t kColorSpaceRgb = 0;
inline constexpr int32_t kColorSpaceMap = 1;     // palette-mapped, byte data only
inline constexpr int32_t kColorSpaceGrey = 2;
inline constexpr int32_t kColorSpaceBinary = 3;  // one byte per pixel holding 0 or 1
inline constexpr int32_t kColorSpaceCmyk = 4;
inline constexpr int32_t kColorSpaceAlphaBit = 0x100;

inline constexpr int32_t kImageByte = 0;
inline constexpr int32_t kImageUShort = 1;
inline constexpr int32_t kImageInt = 2;
inline constexpr int32_t kImageFloat = 3;
inline constexpr int32_t kImageComplexFloat = 4;

// convertColorSpace results.
inline constexpr int kImageOk = 0;
inline constexpr int kImageUnsupported = 1;  // a pair of colour spaces this system never converts
inline constexpr int kImageMismatch = 4;

inline constexpr int kMaxImagePlanes = 5;      // four colour planes plus alpha
inline constexpr int kImagePaletteSize = 256;  // entries, packed 0x00RRGGBB

// Named attributes of a record. Nothing in this system reads or writes them; the
// buckets are only allocated on the first insertion, so a record laid over a frame
// buffer once per frame costs no table memory.
class ImageAttributeTable {
public:
    static constexpr std::size_t kBucketCount = 599;

    std::size_t bucketCount() const { return kBucketCount; }
    std::size_t size() const { return size_; }
    void set(const std::string& name, const std::string& value);
    const std::string* find(const std::string& name) const;

private:
    using Bucket = std::vector<std::pair<std::string, std::string>>;
    std::size_t bucketOf(const std::string& name) const;

    std::unique_ptr<Bucket[]> buckets_;
    std::size_t size_ = 0;
};

// One image. The size fields are derived from width, height, colour space and
// data type and are kept in step by the functions below; change them only
// through those. planes[0] points at the start of one contiguous block holding all
// planes, planes[i] = planes[0] + i * planeSize, for i < depth.
//
// Ownership: a record made by createImage (or enlarged by reshapeImage) owns its
// pixel block in `ownedBlock` and frees it when destroyed. A record made by
// wrapImage borrows the caller's block and never frees it; clearing planes[0]
// before destroying it, as callers do, is harmless. Palette, plane pointers and
// attribute table always belong to the record.
struct ImageRecord {
    int32_t width = 0;
    int32_t height = 0;
    int32_t colorSpace = kColorSpaceGrey;
    int32_t dataType = kImageByte;
    int32_t hasAlpha = 0;
    int32_t depth = 0;      // planes
    int32_t lineSize = 0;   // bytes per row of one plane
    int32_t planeSize = 0;  // bytes per plane
    int32_t size = 0;       // bytes of all planes
    int32_t count = 0;      // pixels per plane
    std::array<unsigned char*, kMaxImagePlanes> planes{};
    std::unique_ptr<uint32_t[]> palette;  // kImagePaletteSize entries, single-plane spaces only
    int32_t paletteCount = 0;
    ImageAttributeTable attributes;

    std::unique_ptr<unsigned char[]> ownedBlock;  // null for a borrowed block
    std::size_t blockBytes = 0;                   // usable bytes from planes[0]
};

using ImageHandle = std::unique_ptr<ImageRecord>;

// Lays a record over `data` without copying (data may be null: no planes yet).
// For a single-plane colour space up to 256 entries of `palette` are copied into
// the record's own palette; other spaces get none. Returns null for map or binary
// images of a data type other than byte, for unknown codes, negative sizes, or a
// size that does not fit in 32 bits.
ImageHandle wrapImage(int width, int height, int colorSpace, int dataType, unsigned char* data,
                      const uint32_t* palette, int paletteCount);

// A record owning a zero-filled block of `size` bytes, with the standard palette
// for single-plane spaces (binary: black and white; grey and map: a grey ramp).
// Returns null when wrapImage would, or when memory runs out.
ImageHandle createImage(int width, int height, int colorSpace, int dataType);

// New dimensions, same colour space and data type; the whole block is zeroed and
// its contents are never kept. The block grows when the new size exceeds it and
// is otherwise kept (a borrowed block that is too small is replaced by an owned
// one, never resized in place). Returns false, leaving the record as it was, for
// negative or oversized dimensions or when memory runs out.
bool reshapeImage(ImageRecord& image, int width, int height);

// Frees the record and everything it owns (never a borrowed block).
void destroyImage(ImageHandle image);

// Same data type, width and height (colour spaces may differ).
bool imagesMatch(const ImageRecord& a, const ImageRecord& b);

// Converts source into destination. Needs imagesMatch and different colour
// spaces, else returns kImageMismatch and changes nothing. Binary to grey copies
// the block and turns every non-zero byte into 255. Other pairs of spaces are not
// converted and return kImageUnsupported.
int convertColorSpace(const ImageRecord& source, ImageRecord& destination);
