#include "features/image_record.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

namespace {

// Bytes per sample of each data type code, or 0 for an unknown code.
int sampleBytes(int dataType) {
    switch (dataType) {
        case kImageByte: return 1;
        case kImageUShort: return 2;
        case kImageInt: return 4;
        case kImageFloat: return 4;
        case kImageComplexFloat: return 8;
        default: return 0;
    }
}

int baseColorSpace(int colorSpace) { return colorSpace & 0xFF; }

int planesOf(int colorSpace) {
    const int base = baseColorSpace(colorSpace);
    int depth = 3;
    if (base >= kColorSpaceMap && base <= kColorSpaceBinary) depth = 1;
    if (base == kColorSpaceCmyk) depth = 4;
    return depth + ((colorSpace & kColorSpaceAlphaBit) != 0 ? 1 : 0);
}

struct Geometry {
    int32_t hasAlpha, depth, lineSize, planeSize, size, count;
    std::size_t blockBytes;  // size plus the extra plane an alpha image carries
};

// The size fields for a record, or false when the codes are unknown, a dimension
// is negative, or a size does not fit the 32-bit fields.
bool computeGeometry(int width, int height, int colorSpace, int dataType, Geometry& g) {
    const int sample = sampleBytes(dataType);
    if (sample == 0 || width < 0 || height < 0 || colorSpace < 0) return false;
    const int64_t depth = planesOf(colorSpace);
    const int64_t lineSize = int64_t{width} * sample;
    const int64_t planeSize = lineSize * height;
    const int64_t size = planeSize * depth;
    const bool hasAlpha = (colorSpace & kColorSpaceAlphaBit) != 0;
    const int64_t blockBytes = size + (hasAlpha ? planeSize : 0);
    if (blockBytes > INT32_MAX) return false;
    g = Geometry{hasAlpha ? 1 : 0,
                 static_cast<int32_t>(depth),
                 static_cast<int32_t>(lineSize),
                 static_cast<int32_t>(planeSize),
                 static_cast<int32_t>(size),
                 static_cast<int32_t>(int64_t{width} * height),
                 static_cast<std::size_t>(blockBytes)};
    return true;
}

void applyGeometry(ImageRecord& image, int width, int height, const Geometry& g) {
    image.width = width;
    image.height = height;
    image.hasAlpha = g.hasAlpha;
    image.depth = g.depth;
    image.lineSize = g.lineSize;
    image.planeSize = g.planeSize;
    image.size = g.size;
    image.count = g.count;
}

void setPlanesFrom(ImageRecord& image, unsigned char* start) {
    image.planes.fill(nullptr);
    if (start == nullptr) return;
    for (int i = 0; i < image.depth; ++i)
        image.planes[i] = start + static_cast<std::size_t>(i) * image.planeSize;
}

bool isMapOrBinary(int colorSpace) {
    const int base = baseColorSpace(colorSpace);
    return base == kColorSpaceMap || base == kColorSpaceBinary;
}

void fillStandardPalette(ImageRecord& image) {
    image.palette = std::make_unique<uint32_t[]>(kImagePaletteSize);
    if (baseColorSpace(image.colorSpace) == kColorSpaceBinary) {
        image.palette[0] = 0x000000;
        image.palette[1] = 0xFFFFFF;
        image.paletteCount = 2;
        return;
    }
    for (uint32_t i = 0; i < kImagePaletteSize; ++i) image.palette[i] = (i << 16) | (i << 8) | i;
    image.paletteCount = kImagePaletteSize;
}

// Luma/chroma spaces start with neutral chroma planes; nothing in this system uses them.
void fillBlank(ImageRecord& image) {
    if (image.planes[0] == nullptr) return;
    std::memset(image.planes[0], 0, image.blockBytes);
    const int base = baseColorSpace(image.colorSpace);
    if (base < 5 || base > 7 || image.depth < 3) return;
    for (int plane = 1; plane <= 2; ++plane) {
        if (image.dataType == kImageByte) {
            std::memset(image.planes[plane], 128, static_cast<std::size_t>(image.planeSize));
        } else if (image.dataType == kImageUShort) {
            const uint16_t mid = 0x8000;
            for (int32_t i = 0; i < image.count; ++i)
                std::memcpy(image.planes[plane] + 2 * static_cast<std::size_t>(i), &mid, 2);
        }
    }
}

}  // namespace

void ImageAttributeTable::set(const std::string& name, const std::string& value) {
    if (!buckets_) buckets_ = std::make_unique<Bucket[]>(kBucketCount);
    Bucket& bucket = buckets_[bucketOf(name)];
    for (auto& entry : bucket) {
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    }
    bucket.emplace_back(name, value);
    ++size_;
}

const std::string* ImageAttributeTable::find(const std::string& name) const {
    if (!buckets_) return nullptr;
    for (const auto& entry : buckets_[bucketOf(name)])
        if (entry.first == name) return &entry.second;
    return nullptr;
}

std::size_t ImageAttributeTable::bucketOf(const std::string& name) const {
    return std::hash<std::string>{}(name) % kBucketCount;
}

ImageHandle wrapImage(int width, int height, int colorSpace, int dataType, unsigned char* data,
                      const uint32_t* palette, int paletteCount) {
    if (isMapOrBinary(colorSpace) && dataType != kImageByte) return nullptr;
    Geometry geometry{};
    if (!computeGeometry(width, height, colorSpace, dataType, geometry)) return nullptr;

    auto image = std::make_unique<ImageRecord>();
    image->colorSpace = colorSpace;
    image->dataType = dataType;
    applyGeometry(*image, width, height, geometry);
    setPlanesFrom(*image, data);
    image->blockBytes = data != nullptr ? geometry.blockBytes : 0;
    if (image->depth == 1 && palette != nullptr) {
        // Copied rather than adopted: the record frees its palette, and the
        // caller's array may live on the stack.
        const int entries = std::clamp(paletteCount, 0, kImagePaletteSize);
        image->palette = std::make_unique<uint32_t[]>(kImagePaletteSize);
        std::copy(palette, palette + entries, image->palette.get());
        image->paletteCount = entries;
    }
    return image;
}

ImageHandle createImage(int width, int height, int colorSpace, int dataType) {
    ImageHandle image = wrapImage(width, height, colorSpace, dataType, nullptr, nullptr, 0);
    if (!image) return nullptr;
    if (image->depth == 1) fillStandardPalette(*image);

    Geometry geometry{};
    computeGeometry(width, height, colorSpace, dataType, geometry);
    // At least one byte, so that an empty image still has a plane 0 to point at.
    const std::size_t bytes = std::max<std::size_t>(geometry.blockBytes, 1);
    image->ownedBlock.reset(new (std::nothrow) unsigned char[bytes]);
    if (!image->ownedBlock) return nullptr;
    image->blockBytes = geometry.blockBytes;
    setPlanesFrom(*image, image->ownedBlock.get());
    fillBlank(*image);
    return image;
}

bool reshapeImage(ImageRecord& image, int width, int height) {
    Geometry geometry{};
    if (!computeGeometry(width, height, image.colorSpace, image.dataType, geometry)) return false;

    unsigned char* block = image.planes[0];
    std::size_t available = block != nullptr ? image.blockBytes : 0;
    if (geometry.blockBytes > available) {
        // Contents are never kept, so a fresh block replaces the old one; a
        // borrowed block is left to its owner instead of being resized in place.
        std::unique_ptr<unsigned char[]> larger(new (std::nothrow)
                                                    unsigned char[geometry.blockBytes]);
        if (!larger) return false;
        image.ownedBlock = std::move(larger);
        block = image.ownedBlock.get();
        available = geometry.blockBytes;
    }
    applyGeometry(image, width, height, geometry);
    image.blockBytes = available;
    if (block != nullptr) std::memset(block, 0, available);
    setPlanesFrom(image, block);
    return true;
}

void destroyImage(ImageHandle image) { image.reset(); }

bool imagesMatch(const ImageRecord& a, const ImageRecord& b) {
    return a.dataType == b.dataType && a.width == b.width && a.height == b.height;
}

int convertColorSpace(const ImageRecord& source, ImageRecord& destination) {
    if (!imagesMatch(source, destination) || source.colorSpace == destination.colorSpace)
        return kImageMismatch;
    const bool binaryToGrey = baseColorSpace(source.colorSpace) == kColorSpaceBinary &&
                              baseColorSpace(destination.colorSpace) == kColorSpaceGrey &&
                              source.dataType == kImageByte;
    if (!binaryToGrey) return kImageUnsupported;

    const std::size_t bytes = static_cast<std::size_t>(source.planeSize);
    if (bytes == 0) return kImageOk;
    if (source.planes[0] == nullptr || destination.planes[0] == nullptr) return kImageMismatch;
    const unsigned char* in = source.planes[0];
    unsigned char* out = destination.planes[0];
    for (std::size_t i = 0; i < bytes; ++i) out[i] = in[i] != 0 ? 255 : 0;
    return kImageOk;
}
