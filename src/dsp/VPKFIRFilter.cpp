#include <VemraPlatformKit/dsp/VPKFIRFilter.h>

#include <VemraPlatformKit/frame/VPKLog.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <locale.h>

namespace {

bool isTrimmed(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

bool isDigit(char ch) { return ch >= '0' && ch <= '9'; }

// Length of the leading decimal number of `piece` (sign, digits, fraction,
// exponent), or 0 when it does not start with one.
std::size_t numericPrefix(std::string_view piece) {
  std::size_t i = 0;
  if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < piece.size() && isDigit(piece[i])) ++i, ++digits;
  if (i < piece.size() && piece[i] == '.') {
    ++i;
    while (i < piece.size() && isDigit(piece[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < piece.size() && (piece[i] == 'e' || piece[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < piece.size() && (piece[j] == '+' || piece[j] == '-')) ++j;
    if (j < piece.size() && isDigit(piece[j])) {
      while (j < piece.size() && isDigit(piece[j])) ++j;
      i = j;
    }
  }
  return i;
}

// Numbers in coefficient files use '.' whatever the process locale says.
locale_t cLocale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

std::optional<std::vector<float>> VPKFIRFilter::parseCoefficients(std::string_view text) {
  std::vector<float> out;
  std::string number;
  while (true) {
    const std::size_t comma = text.find(',');
    std::string_view piece = text.substr(0, comma);
    while (!piece.empty() && isTrimmed(piece.front())) piece.remove_prefix(1);
    while (!piece.empty() && isTrimmed(piece.back())) piece.remove_suffix(1);
    if (!piece.empty()) {
      if (out.size() == kMaxCoefficients) return std::nullopt;
      float value = 0.0f;
      if (const std::size_t len = numericPrefix(piece); len > 0) {
        number.assign(piece.substr(0, len));
        const locale_t c = cLocale();
        value = c != static_cast<locale_t>(nullptr) ? strtof_l(number.c_str(), nullptr, c)
                                                    : std::strtof(number.c_str(), nullptr);
        if (!std::isfinite(value)) return std::nullopt;
      }
      out.push_back(value);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return out;
}

VPKFIRFilter::VPKFIRFilter(std::string filePath) { setupWithFile(filePath); }

std::shared_ptr<VPKFIRFilter> VPKFIRFilter::create(std::string filePath) {
  return std::make_shared<VPKFIRFilter>(std::move(filePath));
}

bool VPKFIRFilter::setupWithFile(const std::string& filePath) {
  filePath_ = filePath;
  coefficients_.clear();

  std::error_code ec;
  const auto status = std::filesystem::status(filePath, ec);
  if (ec || !std::filesystem::is_regular_file(status)) {
    VPKLog(1, "VPKFIRFilter: no coefficient file at {}; values pass through unchanged", filePath);
    return false;
  }
  const auto size = std::filesystem::file_size(filePath, ec);
  std::ifstream in(filePath, std::ios::binary);
  // The file may change while it is read: never take more than one byte past the limit.
  std::string text(ec ? kMaxFileBytes + 1 : std::min<std::uintmax_t>(size, kMaxFileBytes) + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad() || !in.is_open()) {
    VPKLog(1, "VPKFIRFilter: cannot read coefficient file {}; values pass through unchanged",
           filePath);
    return false;
  }
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxFileBytes) {
    VPKLog(1, "VPKFIRFilter: coefficient file {} is larger than {} bytes; values pass through unchanged",
           filePath, kMaxFileBytes);
    return false;
  }
  auto parsed = parseCoefficients(text);
  if (!parsed) {
    VPKLog(1,
           "VPKFIRFilter: coefficient file {} holds more than {} coefficients or a value out of "
           "range; values pass through unchanged",
           filePath, kMaxCoefficients);
    return false;
  }
  if (parsed->empty()) {
    VPKLog(1, "VPKFIRFilter: coefficient file {} holds no coefficients; values pass through unchanged",
           filePath);
    return false;
  }
  coefficients_ = std::move(*parsed);
  return true;
}

void VPKFIRFilter::filter(float* values, std::size_t length) {
  const std::size_t taps = coefficients_.size();
  if (taps == 0 || length == 0) return;

  float stackCopy[255];
  std::vector<float> heapCopy;
  float* input = stackCopy;
  if (length > std::size(stackCopy)) {
    heapCopy.resize(length);
    input = heapCopy.data();
  }
  std::copy_n(values, length, input);

  const float* h = coefficients_.data();
  const std::size_t half = taps / 2;
  for (std::size_t i = 0; i < length; ++i) {
    // out[i] = sum h[p] * in[i + half - p] over the p that land inside the block.
    const std::size_t centre = i + half;
    const std::size_t pFirst = centre >= length ? centre - length + 1 : 0;
    const std::size_t pLast = std::min(taps - 1, centre);
    double sum = 0.0;
    for (std::size_t p = pFirst; p <= pLast; ++p) {
      sum += static_cast<double>(h[p]) * input[centre - p];
    }
    values[i] = static_cast<float>(sum);
  }
}

void VPKFIRFilter::reset() {}

std::shared_ptr<VPKFilter> VPKFIRFilter::filterWithSamplingRate(std::uint64_t /*rate*/) const {
  return copy();
}

std::shared_ptr<VPKFIRFilter> VPKFIRFilter::copy() const {
  return std::make_shared<VPKFIRFilter>(*this);
}

std::shared_ptr<VPKFilter> VPKFIRFilter::copyFilter() const { return copy(); }
