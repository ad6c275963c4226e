#include "common/CommandLine.hpp"

#include <charconv>
#include <cmath>
#include <iostream>
#include <sstream>
#include <system_error>

namespace cli {

namespace {

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out.append(text);
  out += '\'';
  return out;
}

template <typename T>
std::string show(T value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace

bool Arguments::next() {
  if (index_ + 1 >= argc_) {
    index_ = argc_;
    current_ = {};
    return false;
  }
  current_ = argv_[++index_];
  return true;
}

bool Arguments::isOption() const { return current_.size() > 2 && current_.substr(0, 2) == "--"; }

std::string_view Arguments::name() const {
  const std::size_t equals = current_.find('=');
  return equals == std::string_view::npos ? current_ : current_.substr(0, equals);
}

std::string Arguments::value() {
  const std::size_t equals = current_.find('=');
  if (equals != std::string_view::npos) {
    return std::string(current_.substr(equals + 1));
  }
  const std::string option(current_);
  if (!next()) {
    throw UsageError(option + " needs a value");
  }
  return std::string(current_);
}

bool Arguments::flag() const {
  if (current_.find('=') != std::string_view::npos) {
    throw UsageError(std::string(name()) + " takes no value");
  }
  return true;
}

int usageFailure(std::string_view program, std::string_view text) {
  std::cerr << program << ": " << text << "\nTry '" << program << " --help'.\n";
  return 2;
}

std::uint64_t toUnsigned(std::string_view text, std::string_view option, std::uint64_t min,
                         std::uint64_t max) {
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && (digits.substr(0, 2) == "0x" || digits.substr(0, 2) == "0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || error == std::errc::invalid_argument || end != digits.data() + digits.size()) {
    throw UsageError(std::string(option) + ": " + quoted(text) + " is not a whole number");
  }
  if (error == std::errc::result_out_of_range || value < min || value > max) {
    throw UsageError(std::string(option) + ": " + quoted(text) + " is out of range (" + show(min) + " to " +
                     show(max) + ")");
  }
  return value;
}

double toNumber(std::string_view text, std::string_view option, double min, double max) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error == std::errc::invalid_argument || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    throw UsageError(std::string(option) + ": " + quoted(text) + " is not a number");
  }
  if (error == std::errc::result_out_of_range || value < min || value > max) {
    throw UsageError(std::string(option) + ": " + quoted(text) + " is out of range (" + show(min) + " to " +
                     show(max) + ")");
  }
  return value;
}

}  // namespace cli
