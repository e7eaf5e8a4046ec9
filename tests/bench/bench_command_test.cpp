// kxsim bench, short (--quick): every part runs in process, its JSON lines parse, and the checks
// the figures rest on hold: streams libjpeg-turbo decodes near its own quality, far sides that
// counted every rectangle sent, damage and glyphs covered by what went on the wire, no decoder
// in the glyph's figure, one stream from one and from two processors. No figure's size is
// asserted: the machine's load decides those.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tools/kxsim/bench_all.h"

namespace kxtest {
namespace {

// Just enough JSON for the bench's lines: objects of strings, numbers, true, false and null.
struct JsonValue {
  enum Kind { Null, Bool, Number, Text, Object } kind = Null;
  bool flag = false;
  double number = 0;
  std::string text;
  std::map<std::string, JsonValue> members;

  const JsonValue& operator[](const std::string& key) const {
    static const JsonValue missing;
    auto found = members.find(key);
    return found == members.end() ? missing : found->second;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  // False unless the whole text is one object.
  bool ReadObject(JsonValue* value) { return Object(value) && at_ == text_.size(); }

 private:
  bool Take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    at_++;
    return true;
  }
  bool Word(const char* word) {
    std::string w(word);
    if (text_.compare(at_, w.size(), w) != 0) return false;
    at_ += w.size();
    return true;
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c == '\\') {
        if (at_ >= text_.size()) return false;
        c = text_[at_++];
        if (c == 'u') {
          if (at_ + 4 > text_.size()) return false;
          c = char(std::strtol(text_.substr(at_, 4).c_str(), nullptr, 16));
          at_ += 4;
        } else if (c != '"' && c != '\\' && c != '/') {
          return false;
        }
      }
      out->push_back(c);
    }
    return Take('"');
  }
  bool Value(JsonValue* value) {
    if (at_ >= text_.size()) return false;
    char c = text_[at_];
    if (c == '{') return Object(value);
    if (c == '"') {
      value->kind = JsonValue::Text;
      return String(&value->text);
    }
    if (Word("true") || Word("false")) {
      value->kind = JsonValue::Bool;
      value->flag = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';  // "true", not "false"
      return true;
    }
    if (Word("null")) return true;
    const char* start = text_.c_str() + at_;
    char* end = nullptr;
    value->number = std::strtod(start, &end);
    if (end == start) return false;
    value->kind = JsonValue::Number;
    at_ += size_t(end - start);
    return true;
  }
  bool Object(JsonValue* value) {
    value->kind = JsonValue::Object;
    if (!Take('{')) return false;
    if (Take('}')) return true;
    do {
      std::string key;
      if (!String(&key) || !Take(':') || !Value(&value->members[key])) return false;
    } while (Take(','));
    return Take('}');
  }

  const std::string& text_;
  size_t at_ = 0;
};

// Runs kxsim bench with `arguments` in this process; its lines, each parsed (a line that does not
// parse fails the test).
std::vector<JsonValue> Bench(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  kxsim::BenchPlan plan;
  std::string error;
  EXPECT_TRUE(kxsim::ParseBenchArguments(int(argv.size()), argv.data(), &plan, &error)) << error;
  plan.kxsim = KX_KXSIM;
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  EXPECT_TRUE(kxsim::RunBench(plan, out, &error)) << error;
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  std::vector<JsonValue> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    lines.emplace_back();
    EXPECT_TRUE(JsonReader(line).ReadObject(&lines.back())) << line;
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

std::vector<const JsonValue*> Part(const std::vector<JsonValue>& lines, const std::string& part) {
  std::vector<const JsonValue*> found;
  for (const JsonValue& line : lines) {
    if (line["part"].text == part) found.push_back(&line);
  }
  return found;
}

TEST(BenchCommand, QuickRunReportsEveryPartFromCheckedRuns) {
  std::vector<JsonValue> lines = Bench({"--quick", "--json"});
  ASSERT_EQ(1u, Part(lines, "bench").size());
  EXPECT_EQ("encode,present,glyph,outputs,parallel,layers",
            (*Part(lines, "bench")[0])["parts"].text);

  ASSERT_EQ(3u, Part(lines, "encode").size());
  ASSERT_EQ(3u, Part(lines, "encode-summary").size());
  for (const JsonValue* encode : Part(lines, "encode")) {
    // Both streams decode, ours within a decibel of libjpeg-turbo's at the same setting.
    EXPECT_GT((*encode)["ours_psnr"].number, 30) << (*encode)["setting"].text;
    EXPECT_NEAR((*encode)["ours_psnr"].number, (*encode)["libjpeg_turbo_psnr"].number, 1);
    EXPECT_EQ(JsonValue::Number, (*encode)["ratio"].kind);
  }

  std::vector<std::string> scenes;
  for (const JsonValue* present : Part(lines, "present")) {
    EXPECT_EQ(JsonValue::Number, (*present)["ratio"].kind) << (*present)["name"].text;
    if ((*present)["source"].text == "image") {
      EXPECT_EQ((*present)["run_wire_rectangles"].number, (*present)["run_far_rectangles"].number);
      EXPECT_EQ(0, (*present)["violations"].number);
      // The frame's time splits into the present call and the worker's part after it.
      EXPECT_GT((*present)["call_ms"].number, 0);
      EXPECT_GT((*present)["copy_ms"].number, 0);
      EXPECT_GT((*present)["after_call_ms"].number, 0);
    } else {
      scenes.push_back((*present)["name"].text);
      EXPECT_TRUE((*present)["damage_sent"].flag);
      EXPECT_GT((*present)["wire_rectangles"].number, 0) << scenes.back();
    }
  }
  EXPECT_EQ((std::vector<std::string>{"typing", "drag", "scroll", "video"}), scenes);
  ASSERT_EQ(1u, Part(lines, "present-summary").size());
  const JsonValue& summary = *Part(lines, "present-summary")[0];
  EXPECT_EQ(summary["scene_wire_rectangles"].number, summary["scene_far_rectangles"].number);
  EXPECT_EQ(0, summary["violations"].number);

  // One rectangle on the wire for each glyph, warm-up and rounds, each covering its cell.
  ASSERT_EQ(1u, Part(lines, "glyph").size());
  const JsonValue& glyph = *Part(lines, "glyph")[0];
  EXPECT_EQ(glyph["presents"].number * (glyph["rounds"].number + 1),
            glyph["wire_rectangles"].number);
  EXPECT_EQ(glyph["wire_rectangles"].number, glyph["covering_rectangles"].number);
  EXPECT_FALSE(glyph["far_side_decodes"].flag);

  ASSERT_EQ(4u, Part(lines, "outputs").size());
  // The encoder's part of the driver's threads is timed where the driver codes, and is a part.
  for (const JsonValue* outputs : Part(lines, "outputs")) {
    const JsonValue& o = *outputs;
    EXPECT_EQ(60, o["frames_per_second"].number);
    EXPECT_EQ(JsonValue::Number, o["outputs_per_core"].kind) << o["scene"].text;
    EXPECT_GT(o["driver_encoder_seconds_per_second"].number, 0) << o["scene"].text;
    EXPECT_LE(o["driver_encoder_seconds_per_second"].number,
              o["driver_seconds_per_second"].number)
        << o["scene"].text;
    // Every scene has damage, so its peer copy copies rows.
    EXPECT_GT(o["copy_seconds_per_second"].number, 0) << o["scene"].text;
    // Every round timed both the pipeline and the encoder alone.
    EXPECT_GT(o["lowest_round_driver_over_encoder"].number, 0) << o["scene"].text;
    EXPECT_LE(o["lowest_round_driver_over_encoder"].number,
              o["highest_round_driver_over_encoder"].number)
        << o["scene"].text;
  }

  ASSERT_EQ(1u, Part(lines, "parallel").size());
  const JsonValue& parallel = *Part(lines, "parallel")[0];
  EXPECT_TRUE(parallel["measured"].flag);
  EXPECT_TRUE(parallel["identical"].flag);
  EXPECT_EQ(JsonValue::Number, parallel["ratio"].kind);

  // Counted under valgrind where it runs (not in the sanitizer builds): the layers make up the
  // total, and a present runs driver code and the encoder.
  std::vector<const JsonValue*> layers = Part(lines, "layers");
  ASSERT_FALSE(layers.empty());
  if (!(*layers[0])["measured"].flag) {
    EXPECT_EQ(1u, layers.size());
    EXPECT_FALSE((*layers[0])["note"].text.empty());
    return;
  }
  ASSERT_EQ(2u, layers.size());
  for (const JsonValue* work : layers) {
    const JsonValue& w = *work;
    double sum = w["driver"].number + w["encoder"].number + w["host_kernel"].number +
                 w["simulated"].number + w["harness"].number + w["libraries"].number;
    EXPECT_NEAR(w["total"].number, sum, 1e-5 * sum + 6) << w["work"].text;  // 6 digits each
    EXPECT_GT(w["driver"].number, 0) << w["work"].text;
    EXPECT_GT(w["encoder"].number, 0) << w["work"].text;
  }
  EXPECT_GT((*layers[1])["encoder"].number, 100 * (*layers[0])["encoder"].number)
      << "a whole frame is far more to encode than a glyph";
}

TEST(BenchCommand, OnlyRunsThePartsNamed) {
  std::vector<JsonValue> lines = Bench({"--quick", "--json", "--only", "glyph,parallel"});
  std::vector<std::string> parts;
  for (const JsonValue& line : lines) parts.push_back(line["part"].text);
  EXPECT_EQ((std::vector<std::string>{"bench", "glyph", "parallel"}), parts);

  kxsim::BenchPlan plan;
  std::string error;
  char only[] = "--only";
  char unknown[] = "glyph,speed";
  char* argv[] = {only, unknown};
  EXPECT_FALSE(kxsim::ParseBenchArguments(2, argv, &plan, &error));
  EXPECT_NE(std::string::npos, error.find("speed"));
}

}  // namespace
}  // namespace kxtest
