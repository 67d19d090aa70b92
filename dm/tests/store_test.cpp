// dm/tests/store_test.cpp -- the typed value store: growth of buffers, stable
// addresses, strings that do not fit the current area, the 50-entry table and
// the listings.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "store.h"
#include "util/util.h"

namespace {

struct StoreDeleter {
  void operator()(Store* s) const { store_free(s); }
};
using StorePtr = std::unique_ptr<Store, StoreDeleter>;

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rirade_init();
    store.reset(store_alloc());
    ASSERT_NE(store, nullptr);
  }
  const StoreBuffer& current(int type) const { return store->buffers[store->current[type]]; }
  StorePtr store;
};

TEST_F(StoreTest, store_d_growsTo1002AndKeepsEarlierAddresses) {
  std::vector<double*> first;
  for (int i = 0; i < 500; ++i) {
    double v = i * 0.5;
    first.push_back(store_d(store.get(), &v, 1));
  }
  EXPECT_EQ(current(STORE_D).capacity, 500);
  EXPECT_EQ(current(STORE_D).used, 500);
  double v = -1.0;
  double* p501 = store_d(store.get(), &v, 1);
  EXPECT_EQ(current(STORE_D).capacity, 1002);
  EXPECT_EQ(current(STORE_D).data, p501);
  EXPECT_EQ(store->nbuffers, 3);
  for (int i = 0; i < 500; ++i) {
    EXPECT_EQ(first[static_cast<size_t>(i)], static_cast<double*>(store->buffers[1].data) + i);
    EXPECT_EQ(*first[static_cast<size_t>(i)], i * 0.5);
  }
  EXPECT_EQ(*p501, -1.0);
}

TEST_F(StoreTest, store_d_600ValuesStartA1200Buffer) {
  std::vector<double> values(600);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i);
  double* p = store_d(store.get(), values.data(), 600);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(current(STORE_D).capacity, 1200);
  EXPECT_EQ(p, current(STORE_D).data);
  EXPECT_EQ(p[599], 599.0);
}

TEST_F(StoreTest, store_i_r_q_firstBufferHolds500) {
  int32_t i = 7;
  float r = 2.5F;
  int q = 1;
  EXPECT_EQ(*store_i(store.get(), &i, 1), 7);
  EXPECT_EQ(*store_r(store.get(), &r, 1), 2.5F);
  EXPECT_EQ(*store_q(store.get(), &q, 1), 1);
  EXPECT_EQ(current(STORE_I).capacity, 500);
  EXPECT_EQ(current(STORE_R).capacity, 500);
  EXPECT_EQ(current(STORE_Q).capacity, 500);
  EXPECT_EQ(current(STORE_I).type, STORE_I);
}

TEST_F(StoreTest, store_values_rejectsBadArguments) {
  double v = 1.0;
  EXPECT_EQ(store_d(nullptr, &v, 1), nullptr);
  EXPECT_EQ(store_d(store.get(), nullptr, 1), nullptr);
  EXPECT_EQ(store_d(store.get(), &v, 0), nullptr);
  EXPECT_EQ(store_c(store.get(), nullptr), nullptr);
  store_free(nullptr);
}

TEST_F(StoreTest, store_c_firstBuffer500SlotsAnd50000Bytes) {
  char** empty = store_c(store.get(), "");
  ASSERT_NE(empty, nullptr);
  const StoreBuffer& b = current(STORE_C);
  EXPECT_EQ(b.capacity, 500);
  EXPECT_EQ(b.area_size, 50000);
  EXPECT_EQ(b.used, 1);
  EXPECT_EQ(b.next - b.area, 1);
  EXPECT_STREQ(*empty, "");
  char** abc = store_c(store.get(), "abc");
  EXPECT_STREQ(*abc, "abc");
  EXPECT_EQ(b.next - b.area, 5);
}

TEST_F(StoreTest, store_c_slotsFullStartsDoubledBuffer) {
  std::vector<char**> slots;
  for (int i = 0; i < 501; ++i) slots.push_back(store_c(store.get(), std::to_string(i).c_str()));
  EXPECT_EQ(current(STORE_C).capacity, 1002);
  EXPECT_EQ(current(STORE_C).area_size, 100000);
  for (int i = 0; i < 501; ++i) EXPECT_EQ(*slots[static_cast<size_t>(i)], std::to_string(i));
}

// A string longer than what is left of the area gets a new area large enough
// for it; strings stored before keep their text.
TEST_F(StoreTest, store_c_stringLongerThanRestOfAreaIsCopiedWhole) {
  std::string fill(49990, 'x');
  char** a = store_c(store.get(), fill.c_str());
  std::string longer(20, 'y');
  char** b = store_c(store.get(), longer.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(*b, longer);
  EXPECT_EQ(*a, fill);
  EXPECT_EQ(store->nbuffers, 3);
  const StoreBuffer& cur = current(STORE_C);
  EXPECT_GE(*b, cur.area);
  EXPECT_LT(*b + longer.size(), cur.area + cur.area_size);

  std::string huge(300000, 'z');
  char** c = store_c(store.get(), huge.c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(*c, huge);
  EXPECT_GE(current(STORE_C).area_size, 300001);
  EXPECT_EQ(*b, longer);
}

TEST_F(StoreTest, store_alloc_tableFullGivesNull) {
  for (int k = 1; k < STORE_MAX_BUFFERS; ++k) ASSERT_NE(store_alloc_i(store.get(), 1), nullptr);
  EXPECT_EQ(store->nbuffers, STORE_MAX_BUFFERS);
  EXPECT_EQ(store_alloc_d(store.get(), 10), nullptr);
  EXPECT_EQ(store_alloc_c(store.get(), 10, 10), nullptr);
  int32_t i = 3;
  // The current buffer has room for one value, the second needs a new buffer.
  EXPECT_NE(store_i(store.get(), &i, 1), nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(store_i(store.get(), &i, 1), nullptr);
  EXPECT_EQ(store_c(store.get(), "text"), nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("String buffer store overflow"), std::string::npos);
  EXPECT_EQ(store->nbuffers, STORE_MAX_BUFFERS);
}

TEST_F(StoreTest, store_list_stringBeforeReal) {
  double v = 2.5;
  store_d(store.get(), &v, 1);
  store_c(store.get(), "hello");
  testing::internal::CaptureStdout();
  store_list(store.get());
  std::string out = testing::internal::GetCapturedStdout();
  const char* expected =
      "\n--------------------\nBuffer C: 1 of 500\nBuffer C: 6 of 50000 bytes\n"
      "--------------------\nC00001 hello\n\n"
      "\n--------------------\nBuffer D: 1 of 500\n--------------------\nD00001 2.5\n\n";
  EXPECT_EQ(out, expected);
}

}  // namespace
