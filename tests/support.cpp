#include "support.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <climits>

#include <cstdint>
#include <cstring>
#include <vector>

#include "util/vepod_alloc.h"
#include "vepod.h"

namespace vepod_test {

std::map<std::string, long> counters() {
  std::map<std::string, long> values;
  const char *text = vepod_stats_json();
  yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
  size_t i, n, j, m;
  yyjson_val *group_key, *group, *key, *value;
  yyjson_obj_foreach(yyjson_doc_get_root(doc), i, n, group_key, group) {
    yyjson_obj_foreach(group, j, m, key, value) {
      values[std::string(yyjson_get_str(group_key)) + "." + yyjson_get_str(key)] =
          long(yyjson_get_sint(value));
    }
  }
  yyjson_doc_free(doc);
  return values;
}

std::string settings_for(const std::string &urls) {
  std::string json = "{\"URL\":\"";
  for (char c : urls) json += c == '\n' ? std::string("\\n") : std::string(1, c);
  return json + "\"}";
}

Answer validate(const std::string &settings) {
  std::vector<char> out(1 << 16);
  int code = vepod_validate(settings.c_str(), out.data(), int32_t(out.size()));
  return {code, out.data()};
}

Answer list(const std::string &settings, const char *path) {
  std::vector<char> out(1 << 16);
  int code = vepod_list(settings.c_str(), path, out.data(), int32_t(out.size()));
  return {code, out.data()};
}

std::string error_member(const char *doc) {
  yyjson_doc *parsed = yyjson_read(doc, std::strlen(doc), 0);
  if (!parsed) return "<not json>";
  yyjson_val *error = yyjson_obj_get(yyjson_doc_get_root(parsed), "error");
  std::string value = yyjson_is_str(error) ? yyjson_get_str(error) : "<no error member>";
  yyjson_doc_free(parsed);
  return value;
}

parsed::parsed(std::string_view doc) {
  std::memset(failure.message, 'x', sizeof failure.message);
  rc = vepod_feed_parse(doc.data(), doc.size(), &feed, &failure);
}

std::string text_or_null(const char *text) { return text ? text : "(null)"; }

bool cleared(const vepod_feed &f) {
  return !f.title && !f.image && f.format == 0 && !f.items && f.nitems == 0 && !f.description &&
         !f.funding && f.nfunding == 0 && !f.persons && f.npersons == 0;
}

long expect_each_allocation_failure_fails_the_parse(const std::string &doc) {
  vepod_alloc_fail_after(LONG_MAX / 2);
  { parsed clean(doc); }
  const long used = LONG_MAX / 2 - vepod_alloc_fail_after(-1);
  for (long k = 0; k < used; k++) {
    SCOPED_TRACE("allocation " + std::to_string(k));
    vepod_alloc_fail_after(k);
    parsed p(doc);
    vepod_alloc_fail_after(-1);
    EXPECT_EQ(p.rc, VEPOD_ERR_NO_DATA);
    EXPECT_TRUE(p.failure.out_of_memory);
    EXPECT_STREQ(p.err, "out of memory");
    EXPECT_EQ(p.failure.line, 0u);
    EXPECT_TRUE(cleared(p.feed));
  }
  return used;
}

}  // namespace vepod_test
