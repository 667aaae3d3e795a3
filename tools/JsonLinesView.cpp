#include "JsonLinesView.h"

#include <cmath>

#include "ErrorStream.h"

namespace velmora::tool {

JsonLinesView::JsonLinesView(std::string command, Output& out) : command_(std::move(command)), out_(out) {}

nlohmann::ordered_json JsonLinesView::toJson(double t, const Dictionary& data) {
  nlohmann::ordered_json line;
  // Rounded to the microsecond, so the number prints short.
  line["t"] = std::round(t * 1e6) / 1e6;
  addValues(line, data);
  return line;
}

void JsonLinesView::addValues(nlohmann::ordered_json& line, const Dictionary& data) {
  for (const auto& [key, value] : data) {
    if (value.isArray()) {
      line[key] = value.asArray();
    } else if (value.isDouble()) {
      line[key] = value.asDouble();
    } else {
      line[key] = value.asInt();
    }
  }
}

bool JsonLinesView::writeLine(const nlohmann::ordered_json& object) { return out_.write(object.dump() + "\n"); }

// The session's own message tells of the connection.
void JsonLinesView::connected(const std::string&) {}

void JsonLinesView::data(double t, const Dictionary& data, const StreamStats&) { writeLine(toJson(t, data)); }

void JsonLinesView::message(const std::string& text, Tone) {
  ErrorStream::say(command_, text);
}

void JsonLinesView::finish(const StreamStats&) { out_.finish(); }

}  // namespace velmora::tool
