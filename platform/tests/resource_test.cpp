// The embedded resources: found by name in any case, byte for byte, absent ones not.
#include "platform/resource.h"

#include <gtest/gtest.h>

namespace {

const std::string kBlob("ab\0\1\377cd\r\n\0", 10);  // tests/data/blob.bin

TEST(Resource, FoundByNameInAnyCaseWithItsExactBytes) {
  for (const char* name : {"Test_Blob", "TEST_BLOB", "test_blob", "tEsT_bLoB"}) {
    SCOPED_TRACE(name);
    const platform::Resource* r = platform::FindResource(name);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->data), r->size), kBlob);
    std::string loaded;
    ASSERT_TRUE(platform::LoadResource(name, &loaded));
    EXPECT_EQ(loaded, kBlob);
  }
}

TEST(Resource, EmptyResourceExistsWithSizeZero) {
  const platform::Resource* r = platform::FindResource("empty");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->size, 0u);
}

TEST(Resource, MissingOrPartialNamesAreNotFound) {
  for (const char* name : {"F_DATA", "Test_Blo", "Test_Blob2", ""}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(platform::FindResource(name), nullptr);
    std::string untouched = "keep";
    EXPECT_FALSE(platform::LoadResource(name, &untouched));
    EXPECT_EQ(untouched, "keep");
  }
  EXPECT_EQ(platform::FindResource(nullptr), nullptr);
}

}  // namespace
