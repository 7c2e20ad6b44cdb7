#include <gtest/gtest.h>

#include <cstdint>

#include "coder_array.h"

namespace {

TEST(ArrayTest, FreshArrayIsEmptyWithoutStorage) {
  coder::array<double, 2> a;
  EXPECT_EQ(a.numel(), 0);
  EXPECT_EQ(a.size(0), 0);
  EXPECT_EQ(a.size(1), 0);
  EXPECT_EQ(a.capacity(), 0);
  EXPECT_EQ(a.data(), nullptr);
}

TEST(ArrayTest, FirstAllocationHoldsSixteenZeroes) {
  coder::array<double, 1> a;
  a.set_size(5);
  EXPECT_EQ(a.capacity(), 16);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(a[i], 0.0);
}

TEST(ArrayTest, GrowingPastCapacityDoublesAndKeepsValuesByLinearIndex) {
  coder::array<double, 1> a;
  a.set_size(16);
  for (int i = 0; i < 16; ++i) a[i] = i + 1.0;
  a.set_size(17);
  EXPECT_EQ(a.capacity(), 32);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(a[i], i + 1.0);
  EXPECT_EQ(a[16], 0.0);
}

TEST(ArrayTest, TwoDimensionalLayoutIsColumnMajor) {
  coder::array<double, 2> a;
  a.set_size(100, 3);
  EXPECT_EQ(a.numel(), 300);
  EXPECT_EQ(a.capacity(), 512);
  a[4 + 100 * 2] = 7.0;
  EXPECT_EQ(a[204], 7.0);
}

TEST(ArrayTest, ShrinkKeepsStorageAndRegrowZeroes) {
  coder::array<double, 2> a;
  a.set_size(100, 3);
  for (int i = 0; i < 300; ++i) a[i] = 1.0;
  const double* block = a.data();
  a.set_size(10, 1);
  EXPECT_EQ(a.capacity(), 512);
  a.set_size(100, 3);
  EXPECT_EQ(a.data(), block);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(a[i], 1.0);
  for (int i = 10; i < 300; ++i) EXPECT_EQ(a[i], 0.0) << i;
}

TEST(ArrayTest, ZeroLengthDimensionAllocatesNothing) {
  coder::array<unsigned int, 2> a;
  a.set_size(0, 3);
  EXPECT_EQ(a.size(0), 0);
  EXPECT_EQ(a.size(1), 3);
  EXPECT_EQ(a.numel(), 0);
  EXPECT_EQ(a.data(), nullptr);
}

TEST(ArrayTest, UnsignedSixtyFourBitLengthIsNarrowed) {
  coder::array<unsigned char, 1> a;
  a.set_size(std::uint64_t{40});
  EXPECT_EQ(a.size(0), 40);
  EXPECT_EQ(a.capacity(), 64);
}

TEST(ArrayTest, GrowthRuleStopsAtLargestInt) {
  using Base = coder::array_base<double, int, 1>;
  EXPECT_EQ(Base::nextCapacity(0, 1), 16);
  EXPECT_EQ(Base::nextCapacity(16, 17), 32);
  EXPECT_EQ(Base::nextCapacity(16, 300), 512);
  EXPECT_EQ(Base::nextCapacity(1073741824, 1073741825), 2147483647);
  EXPECT_EQ(Base::nextCapacity(1073741824, 2147483647), 2147483647);
  EXPECT_EQ(Base::nextCapacity(600000000, 700000000), 1200000000);
}

}  // namespace

#include <cmath>
#include <cstring>
#include <limits>

#include "getAccCalib_data.h"
#include "getAccCalib_initialize.h"
#include "getAccCalib_terminate.h"
#include "rtGetInf.h"
#include "rtGetNaN.h"
#include "rt_nonfinite.h"

namespace {

TEST(NonFiniteTest, ConstantsHaveTheirIeeeValues) {
  EXPECT_NE(rtGetNaN(), rtGetNaN());
  EXPECT_NE(rtGetNaNF(), rtGetNaNF());
  std::uint64_t bits;
  std::memcpy(&bits, &rtNaN, sizeof bits);
  EXPECT_EQ(bits, 0x7FF8000000000000ULL);
  std::uint32_t fbits;
  std::memcpy(&fbits, &rtNaNF, sizeof fbits);
  EXPECT_EQ(fbits, 0x7FC00000U);
  EXPECT_GT(rtGetInf(), std::numeric_limits<double>::max());
  EXPECT_LT(rtGetMinusInf(), std::numeric_limits<double>::lowest());
  EXPECT_GT(rtGetInfF(), std::numeric_limits<float>::max());
  EXPECT_LT(rtGetMinusInfF(), std::numeric_limits<float>::lowest());
}

TEST(LibraryStateTest, InitialiseAndTerminateToggleTheFlag) {
  const bool wasInitialised = isInitialized_getAccCalib != 0;
  if (!wasInitialised) getAccCalib_initialize();
  EXPECT_TRUE(isInitialized_getAccCalib);
  getAccCalib_terminate();
  EXPECT_FALSE(isInitialized_getAccCalib);
  getAccCalib_initialize();
  EXPECT_TRUE(isInitialized_getAccCalib);
  if (!wasInitialised) getAccCalib_terminate();
}

}  // namespace
