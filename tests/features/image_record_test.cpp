#include "features/image_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace {

bool allZero(const unsigned char* p, std::size_t n) {
    return std::all_of(p, p + n, [](unsigned char v) { return v == 0; });
}

TEST(ImageRecord, CreateComputesSizesAndStandardPalettes) {
    ImageHandle grey = createImage(320, 240, kColorSpaceGrey, kImageByte);
    ASSERT_TRUE(grey);
    EXPECT_EQ(grey->depth, 1);
    EXPECT_EQ(grey->lineSize, 320);
    EXPECT_EQ(grey->planeSize, 76800);
    EXPECT_EQ(grey->size, 76800);
    EXPECT_EQ(grey->count, 76800);
    EXPECT_EQ(grey->hasAlpha, 0);
    EXPECT_EQ(grey->planes[0], grey->ownedBlock.get());
    EXPECT_TRUE(allZero(grey->planes[0], 76800));
    ASSERT_TRUE(grey->palette);
    EXPECT_EQ(grey->paletteCount, 256);
    EXPECT_EQ(grey->palette[0], 0x000000u);
    EXPECT_EQ(grey->palette[128], 0x808080u);
    EXPECT_EQ(grey->palette[255], 0xFFFFFFu);
    EXPECT_EQ(grey->attributes.bucketCount(), 599u);
    EXPECT_EQ(grey->attributes.size(), 0u);

    ImageHandle binary = createImage(5, 3, kColorSpaceBinary, kImageByte);
    ASSERT_TRUE(binary && binary->palette);
    EXPECT_EQ(binary->paletteCount, 2);
    EXPECT_EQ(binary->palette[0], 0x000000u);
    EXPECT_EQ(binary->palette[1], 0xFFFFFFu);

    ImageHandle rgbShort = createImage(10, 4, kColorSpaceRgb, kImageUShort);
    ASSERT_TRUE(rgbShort);
    EXPECT_EQ(rgbShort->depth, 3);
    EXPECT_EQ(rgbShort->lineSize, 20);
    EXPECT_EQ(rgbShort->planeSize, 80);
    EXPECT_EQ(rgbShort->size, 240);
    EXPECT_EQ(rgbShort->planes[2], rgbShort->planes[0] + 160);
    EXPECT_FALSE(rgbShort->palette);

    ImageHandle cmykAlpha = createImage(2, 2, kColorSpaceCmyk | kColorSpaceAlphaBit, kImageFloat);
    ASSERT_TRUE(cmykAlpha);
    EXPECT_EQ(cmykAlpha->depth, 5);
    EXPECT_NE(cmykAlpha->hasAlpha, 0);
    EXPECT_GE(cmykAlpha->blockBytes, static_cast<std::size_t>(cmykAlpha->size));
}

TEST(ImageRecord, RefusesBadCodesAndSizes) {
    EXPECT_FALSE(createImage(4, 4, kColorSpaceBinary, kImageUShort));
    EXPECT_FALSE(createImage(4, 4, kColorSpaceMap, kImageFloat));
    EXPECT_FALSE(wrapImage(4, 4, kColorSpaceBinary, kImageInt, nullptr, nullptr, 0));
    EXPECT_FALSE(createImage(4, 4, kColorSpaceGrey, 9));
    EXPECT_FALSE(createImage(-1, 4, kColorSpaceGrey, kImageByte));
    EXPECT_FALSE(createImage(4, -1, kColorSpaceGrey, kImageByte));
    EXPECT_FALSE(createImage(INT_MAX, INT_MAX, kColorSpaceGrey, kImageByte));
    EXPECT_FALSE(createImage(65536, 65536, kColorSpaceRgb, kImageComplexFloat));

    ImageHandle empty = createImage(0, 0, kColorSpaceGrey, kImageByte);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size, 0);
}

TEST(ImageRecord, ReshapeGrowsZeroesAndKeepsTheLargerBlock) {
    ImageHandle image = createImage(320, 240, kColorSpaceGrey, kImageByte);
    ASSERT_TRUE(image);
    std::fill(image->planes[0], image->planes[0] + image->size, 9);
    ASSERT_TRUE(reshapeImage(*image, 640, 480));
    EXPECT_EQ(image->lineSize, 640);
    EXPECT_EQ(image->planeSize, 307200);
    EXPECT_EQ(image->count, 307200);
    EXPECT_TRUE(allZero(image->planes[0], 307200));

    unsigned char* larger = image->planes[0];
    std::fill(larger, larger + 307200, 5);
    ASSERT_TRUE(reshapeImage(*image, 320, 240));
    EXPECT_EQ(image->planes[0], larger);  // the block is kept, not shrunk
    EXPECT_EQ(image->size, 76800);
    EXPECT_TRUE(allZero(image->planes[0], 76800));
    EXPECT_GE(image->blockBytes, 307200u);
}

TEST(ImageRecord, FailedReshapeLeavesTheRecordAsItWas) {
    ImageHandle image = createImage(8, 6, kColorSpaceGrey, kImageByte);
    ASSERT_TRUE(image);
    image->planes[0][3] = 42;
    EXPECT_FALSE(reshapeImage(*image, -1, 6));
    EXPECT_FALSE(reshapeImage(*image, INT_MAX, 2));
    EXPECT_EQ(image->width, 8);
    EXPECT_EQ(image->height, 6);
    EXPECT_EQ(image->size, 48);
    EXPECT_EQ(image->planes[0][3], 42);
}

TEST(ImageRecord, WrappedRecordLeavesTheCallersBufferAlone) {
    std::vector<unsigned char> buffer(12 * 10, 7);
    const uint32_t palette[3] = {1, 2, 3};
    ImageHandle wrapped =
        wrapImage(12, 10, kColorSpaceGrey, kImageByte, buffer.data(), palette, 3);
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->planes[0], buffer.data());
    EXPECT_FALSE(wrapped->ownedBlock);
    ASSERT_TRUE(wrapped->palette);
    EXPECT_EQ(wrapped->paletteCount, 3);
    EXPECT_EQ(wrapped->palette[2], 3u);
    wrapped->planes[0] = nullptr;
    destroyImage(std::move(wrapped));
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](unsigned char v) { return v == 7; }));

    // Even without clearing plane 0 the borrowed block is never freed (the
    // sanitizer build would report a bad free).
    destroyImage(wrapImage(12, 10, kColorSpaceGrey, kImageByte, buffer.data(), nullptr, 0));
    EXPECT_EQ(buffer[0], 7);

    // A three-plane record gets no palette even when one is offered.
    std::vector<unsigned char> rgb(3 * 4, 0);
    ImageHandle colour = wrapImage(2, 2, kColorSpaceRgb, kImageByte, rgb.data(), palette, 3);
    ASSERT_TRUE(colour);
    EXPECT_FALSE(colour->palette);
    EXPECT_EQ(colour->paletteCount, 0);
    EXPECT_EQ(colour->planes[1], rgb.data() + 4);
}

TEST(ImageRecord, ReshapingAWrappedRecordBeyondItsBufferTakesAnOwnedBlock) {
    std::vector<unsigned char> buffer(4 * 4, 3);
    ImageHandle wrapped = wrapImage(4, 4, kColorSpaceGrey, kImageByte, buffer.data(), nullptr, 0);
    ASSERT_TRUE(reshapeImage(*wrapped, 2, 2));  // fits: zeroed in place
    EXPECT_EQ(wrapped->planes[0], buffer.data());
    EXPECT_EQ(buffer[0], 0);
    ASSERT_TRUE(reshapeImage(*wrapped, 40, 40));
    EXPECT_NE(wrapped->planes[0], buffer.data());
    EXPECT_EQ(wrapped->planes[0], wrapped->ownedBlock.get());
    EXPECT_TRUE(allZero(wrapped->planes[0], 1600));
}

TEST(ImageRecord, ConvertBinaryToGrey) {
    ImageHandle binary = createImage(3, 1, kColorSpaceBinary, kImageByte);
    ImageHandle grey = createImage(3, 1, kColorSpaceGrey, kImageByte);
    binary->planes[0][0] = 0;
    binary->planes[0][1] = 1;
    binary->planes[0][2] = 7;
    ASSERT_EQ(convertColorSpace(*binary, *grey), kImageOk);
    EXPECT_EQ(grey->planes[0][0], 0);
    EXPECT_EQ(grey->planes[0][1], 255);
    EXPECT_EQ(grey->planes[0][2], 255);
    EXPECT_EQ(binary->planes[0][2], 7);  // the source is not touched
}

TEST(ImageRecord, ConvertRefusesMismatchesAndChangesNothing) {
    ImageHandle binary = createImage(320, 240, kColorSpaceBinary, kImageByte);
    ImageHandle wider = createImage(321, 240, kColorSpaceGrey, kImageByte);
    ImageHandle sameSpace = createImage(320, 240, kColorSpaceBinary, kImageByte);
    ImageHandle otherType = createImage(320, 240, kColorSpaceGrey, kImageUShort);
    binary->planes[0][0] = 1;
    wider->planes[0][0] = 9;
    EXPECT_EQ(convertColorSpace(*binary, *wider), kImageMismatch);
    EXPECT_EQ(wider->planes[0][0], 9);
    EXPECT_EQ(convertColorSpace(*binary, *sameSpace), kImageMismatch);
    EXPECT_EQ(sameSpace->planes[0][0], 0);
    EXPECT_EQ(convertColorSpace(*binary, *otherType), kImageMismatch);
    EXPECT_FALSE(imagesMatch(*binary, *wider));
    EXPECT_TRUE(imagesMatch(*binary, *createImage(320, 240, kColorSpaceRgb, kImageByte)));

    // Pairs of spaces this system never converts are reported, not half done.
    ImageHandle grey = createImage(320, 240, kColorSpaceGrey, kImageByte);
    grey->planes[0][0] = 200;
    EXPECT_EQ(convertColorSpace(*grey, *binary), kImageUnsupported);
    EXPECT_EQ(binary->planes[0][0], 1);

    // A record without pixels cannot be converted into.
    ImageHandle noPixels = wrapImage(320, 240, kColorSpaceGrey, kImageByte, nullptr, nullptr, 0);
    EXPECT_EQ(convertColorSpace(*binary, *noPixels), kImageMismatch);
}

TEST(ImageRecord, AttributeTableStoresNamedValues) {
    ImageAttributeTable table;
    EXPECT_EQ(table.find("gamma"), nullptr);
    table.set("gamma", "2.2");
    table.set("gamma", "1.8");
    table.set("author", "camera");
    ASSERT_NE(table.find("gamma"), nullptr);
    EXPECT_EQ(*table.find("gamma"), "1.8");
    EXPECT_EQ(table.size(), 2u);
}

}  // namespace
