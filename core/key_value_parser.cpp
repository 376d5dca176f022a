#include "core/key_value_parser.h"

#include <stdexcept>

std::string KeyValueParser::valueText(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos) throw std::out_of_range("key \"" + key + "\" not found in options");
  const std::size_t equals = text.find('=', at);
  const std::size_t semicolon = text.find(';', at);
  if (equals == std::string::npos || semicolon < equals) return std::string();
  const std::size_t end = semicolon == std::string::npos ? text.size() : semicolon;
  return text.substr(equals + 1, end - equals - 1);
}

std::string KeyValueParser::extractBlock(std::string& text) const {
  const std::size_t open = text.find('{');
  if (open == std::string::npos) throw std::out_of_range("no \"{\" block in text");
  const std::size_t close = text.find('}', open);
  if (close == std::string::npos) return text.substr(open + 1);
  std::string block = text.substr(open + 1, close - open);
  text.erase(0, close + 1);
  return block;
}
