#include "platform/audio/sample_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace corvane::platform::audio {
namespace {

TEST(SampleBufferTest, CopiedBlockKeepsTheBytesAndValidityIsOneWay) {
  std::vector<float> pcm = {0.25f, -0.5f, 1.0f, 0.0f};
  auto block = BlockBuffer::createWithBytes(pcm.data(), pcm.size() * sizeof(float));
  pcm[0] = 9.0f;  // the block made its own copy
  ASSERT_EQ(block->dataLength(), 16u);
  float first;
  std::memcpy(&first, block->dataPointer(), sizeof first);
  EXPECT_EQ(first, 0.25f);

  auto buffer = SampleBuffer::create(block, 2);
  EXPECT_EQ(buffer->dataBuffer(), block);
  EXPECT_EQ(buffer->numSamples(), 2);
  EXPECT_TRUE(buffer->isValid());
  buffer->invalidate();
  EXPECT_FALSE(buffer->isValid());
  EXPECT_EQ(BlockBuffer::createWithBytes(nullptr, 0)->dataPointer(), nullptr);
}

TEST(SampleBufferTest, WrappedMemoryIsDeallocatedOnceWhenTheLastHolderLetsGo) {
  std::vector<std::uint8_t> memory(64, 7);
  int deallocations = 0;
  void* seen = nullptr;
  auto block =
      BlockBuffer::createWithMemory(memory.data(), memory.size(), [&](void* m, std::size_t length) {
        ++deallocations;
        seen = m;
        EXPECT_EQ(length, 64u);
      });
  EXPECT_EQ(block->dataPointer(), memory.data());
  auto buffer = SampleBuffer::create(block, 8);
  block.reset();
  EXPECT_EQ(deallocations, 0) << "the sample buffer still holds the block";
  buffer.reset();
  EXPECT_EQ(deallocations, 1);
  EXPECT_EQ(seen, memory.data());
}

}  // namespace
}  // namespace corvane::platform::audio
