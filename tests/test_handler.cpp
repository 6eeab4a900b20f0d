// The result convention, the identity answers and the transport choice.

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "handler/vepod_handler.h"
#include "io/vepod_io.h"
#include "support.h"
#include "util/vepod_text.h"
#include "vepod.h"

namespace {

using vepod_test::error_member;

TEST(Identity, AnswersBeforeAnyOtherCall) {
  EXPECT_STREQ(vepod_runtime_type(), "PODCASTS");
  EXPECT_EQ(vepod_caps(), 35);
  // The loaded library is the one this header describes.
  EXPECT_STREQ(vepod_version(), VEPOD_VERSION_STRING);
  EXPECT_EQ(std::string(vepod_version()), std::to_string(VEPOD_VERSION_MAJOR) + "." +
                                              std::to_string(VEPOD_VERSION_MINOR) + "." +
                                              std::to_string(VEPOD_VERSION_PATCH));
  EXPECT_STREQ(vepod_result_json(), "");
  EXPECT_STREQ(vepod_last_error(), "");
}

TEST(Emit, BufferOfExactSizeSucceedsAndOneByteLessFails) {
  const char *answer = "[{\"a\":1}]";
  const int32_t need = int32_t(std::strlen(answer)) + 1;
  char out[64];

  EXPECT_EQ(vepod_emit(vepod_strdup(answer), vepod_out_of(out, need)), 0);
  EXPECT_STREQ(out, answer);
  EXPECT_STREQ(vepod_last_error(), "");

  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(vepod_emit(vepod_strdup(answer), vepod_out_of(out, need - 1)), -9);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(std::string(vepod_last_error()), "output buffer too small: need 10 bytes");
  EXPECT_STREQ(vepod_result_json(), answer);
}

TEST(Emit, NullOrEmptyOutKeepsTheResultAndReportsItsSize) {
  EXPECT_EQ(vepod_emit(vepod_strdup("{}"), vepod_out_of(nullptr, 100)), -9);
  EXPECT_STREQ(vepod_last_error(), "output buffer too small: need 3 bytes");
  EXPECT_STREQ(vepod_result_json(), "{}");
  char out[4] = "abc";
  EXPECT_EQ(vepod_emit(vepod_strdup("[]"), vepod_out_of(out, 0)), -9);
  EXPECT_STREQ(out, "abc");  // a zero-sized buffer is not written
  EXPECT_STREQ(vepod_result_json(), "[]");
}

TEST(Fail, KeepsTheLastResultAndRecordsTheText) {
  char out[128];
  ASSERT_EQ(vepod_emit(vepod_strdup("[1]"), vepod_out_of(out, sizeof out)), 0);
  EXPECT_EQ(vepod_fail(VEPOD_ERR_NOT_FOUND, vepod_out_of(nullptr, 0), "folder not found: %s",
                       "http://h/x"),
            -2);
  EXPECT_STREQ(vepod_last_error(), "folder not found: http://h/x");
  EXPECT_STREQ(vepod_result_json(), "[1]");

  EXPECT_EQ(vepod_fail(VEPOD_ERR_TRANSPORT, vepod_out_of(out, sizeof out), "%s", "boom"), -4);
  EXPECT_STREQ(out, "{\"error\":\"boom\"}");
  EXPECT_STREQ(vepod_result_json(), "[1]");
}

TEST(Result, AHandedAnswerStaysUntilTheNextRead) {
  char out[64];
  ASSERT_EQ(vepod_emit(vepod_strdup("[1]"), vepod_out_of(out, sizeof out)), 0);
  const char *held = vepod_result_json();
  EXPECT_STREQ(held, "[1]");
  EXPECT_STREQ(vepod_result_json(), "[1]");  // still the latest answer
  held = vepod_result_json();
  ASSERT_EQ(vepod_emit(vepod_strdup("[2]"), vepod_out_of(out, sizeof out)), 0);
  EXPECT_STREQ(held, "[1]");  // a later answer leaves what was handed alone
  EXPECT_STREQ(vepod_result_json(), "[2]");
}

TEST(Fail, ErrorDocumentThatDoesNotFitLeavesAnEmptyText) {
  char out[32];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(vepod_fail(VEPOD_ERR_NO_DATA, vepod_out_of(out, 25), "%s", "out of memory"),
            -5);  // needs 26 bytes
  EXPECT_EQ(out[0], '\0');
  EXPECT_STREQ(vepod_last_error(), "out of memory");
  EXPECT_EQ(vepod_fail(VEPOD_ERR_NO_DATA, vepod_out_of(out, 26), "%s", "out of memory"), -5);
  EXPECT_STREQ(out, "{\"error\":\"out of memory\"}");
}

TEST(Fail, LongTextsAreCutTo511Bytes) {
  std::string long_text(600, 'a');
  EXPECT_EQ(vepod_fail(VEPOD_ERR_ACCESS, vepod_out_of(nullptr, 0), "%s", long_text.c_str()), -1);
  EXPECT_EQ(std::strlen(vepod_last_error()), 511u);
}

// The error text is made valid UTF-8 and the document is valid JSON whatever the message holds.
TEST(Fail, SanitisesAndEscapesTheText) {
  struct Case {
    const char *text;
    const char *expected;
  };
  const Case cases[] = {
      {"a\xFF"
       "b",
       "a?b"},
      {"a\x80"
       "b",
       "a?b"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},              // well-formed text stays
      {"\xE2\x82\xAC euro", "\xE2\x82\xAC euro"},  // three-byte character stays
      {"\xF0\x9F\x8E\xA7!", "\xF0\x9F\x8E\xA7!"},  // four-byte character stays
      {"cut \xE2\x82", "cut ??"},                  // sequence cut by the end of the text
      {"x\xC3(y", "x?(y"},                         // lead byte without its continuation
      {"\xE2(\xA1", "?(?"},
      {"\xC0\x80", "??"},            // overlong
      {"\xED\xA0\x80", "???"},       // encoded surrogate
      {"\xF4\x90\x80\x80", "????"},  // above U+10FFFF
      {"q\"b\\s\n\t\x01", "q\"b\\s\n\t\x01"},
  };
  for (const Case &c : cases) {
    char out[256];
    EXPECT_EQ(vepod_fail(VEPOD_ERR_BAD_INPUT, vepod_out_of(out, sizeof out), "%s", c.text), -8);
    EXPECT_EQ(std::string(vepod_last_error()), c.expected) << c.text;
    EXPECT_EQ(error_member(out), c.expected) << out;
  }
}

TEST(Fail, EscapesQuotesBackslashesAndControls) {
  char out[128];
  vepod_fail(VEPOD_ERR_BAD_INPUT, vepod_out_of(out, sizeof out), "%s", "a\"b\\c\nd\x1f");
  EXPECT_STREQ(out, "{\"error\":\"a\\\"b\\\\c\\nd\\u001F\"}");

  // The longest message, every byte escaped at its longest, still makes a whole document.
  std::vector<char> big(8192);
  const std::string controls(600, '\x01');
  vepod_fail(VEPOD_ERR_BAD_INPUT, vepod_out_of(big.data(), big.size()), "%s", controls.c_str());
  std::string expected = "{\"error\":\"";
  for (size_t i = 0; i < std::strlen(vepod_last_error()); i++) expected += "\\u0001";
  EXPECT_EQ(big.data(), expected + "\"}");
}

TEST(Download, IsAlwaysRefused) {
  char out[128];
  EXPECT_EQ(vepod_download(nullptr, nullptr, out, sizeof out), -6);
  EXPECT_STREQ(vepod_last_error(), "downloads are not supported: podcast sources are read-only");
  EXPECT_EQ(error_member(out), "downloads are not supported: podcast sources are read-only");
  EXPECT_EQ(vepod_download("{}", "{}", nullptr, 0), -6);
}

TEST(TransportChoice, FollowsTheOverrideAndFallsBackToTheFake) {
  static const tervala_io host = {nullptr, nullptr, nullptr, nullptr};
  EXPECT_EQ(vepod_io_current(), vepod_io_fake());
  EXPECT_EQ(vepod_set_io(&host), 0);
  EXPECT_EQ(vepod_io_current(), &host);
  // No network transport in this build: a failed choice keeps the host's.
  EXPECT_EQ(vepod_use_curl(), -6);
  EXPECT_EQ(vepod_io_current(), &host);
  EXPECT_EQ(vepod_use_fake(), 0);
  EXPECT_EQ(vepod_io_current(), vepod_io_fake());
  EXPECT_EQ(vepod_set_io(nullptr), 0);
  EXPECT_EQ(vepod_io_current(), vepod_io_fake());
}

}  // namespace
