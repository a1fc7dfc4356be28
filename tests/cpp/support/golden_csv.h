// Small inputs that exercise every rule of the reader (quoting, malformed
// quoting, terminators, UTF-8 errors, ragged rows) for tests that compare a
// way of converting against the one-thread conversion.
#pragma once

#include <string>
#include <vector>

namespace vrex::testing {

struct GoldenCase {
  const char* name;
  std::string csv;
};

inline const std::vector<GoldenCase>& golden_cases() {
  static const std::vector<GoldenCase> cases = {
      {"empty", ""},
      {"header only", "a,b\n"},
      {"plain", "a,b\n1,x\n2,y\n3,z\n4,w\n5,v\n"},
      {"no final terminator", "a,b\n1,x\n2,y"},
      {"quoted terminators", "a,b\n\"1\n2\",x\n\"3\r\n4\",y\n5,\"z\r\"\n6,w\n"},
      {"doubled quotes", "a\n\"he said \"\"hi\"\"\"\n\"\"\"\"\n\"x\"\"\n\"\nlast\n"},
      {"quote inside unquoted", "a,b\nab\"c,d\n\"e\"f,g\nx\"\n\"y\n"},
      {"closed quote then bytes", "a,b\n\"x\"y\nz,\"w\"\"\n,\"\n1,2\n"},
      {"cr only endings", "a,b\r1,2\r3,4\r\r5,6\r"},
      {"crlf and blank lines", "a,b\r\n\r\n1,2\r\n\n\n3,4\r\n\r\n"},
      {"unclosed quote to the end", "a,b\n1,2\n\"open\n3,4\n5,6\n"},
      {"bom",
       "\xEF\xBB\xBF"
       "a,b\n1,2\n3,4\n"},
      {"multi-byte utf-8", "name,v\n\xC3\xA9t\xC3\xA9,1\n\xE2\x82\xAC,2\n\xF0\x9F\x98\x80,3\n"},
      {"invalid utf-8 late", "a,b\n1,x\n2,y\n3,z\n4,\xC3(\n5,w\n"},
      {"invalid utf-8 twice", "a,b\n1,x\n2,\xFF\n3,z\n4,\xC3(\n5,w\n"},
      {"invalid utf-8 in a dropped field", "a\n1,2\n3,\xFE\n4\n"},
      {"invalid utf-8 after quoted newlines", "a,b\n\"1\n\n\",x\n2,y\n\"3\",\"\xE2\x82\"\n"},
      {"ragged rows", "a,b,c\n1\n2,3,4,5,6\n,\n\n7,8\n"},
      {"commas only", "a,b\n,\n,,\n,,,\n"},
      {"blank header", "\n\n\na,b\n1,2\n"},
      {"numbers then text", "n\n1\n2\n3\n4\n5\n6\nseven\n8\n"},
  };
  return cases;
}

}  // namespace vrex::testing
