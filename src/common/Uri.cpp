#include "common/Uri.h"

#include <windows.h>

#include <cctype>
#include <climits>

namespace ORVO {
namespace Common {

namespace {

std::string lowerCased(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Decimal conversion as atoi would do it (leading white space, sign, digits up to the first
// non-digit) but saturating instead of overflowing on absurd input.
int parsePort(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) value = INT_MAX;
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

Uri::Uri() = default;

Uri::Uri(const std::string& text) { parse(text); }

Uri::~Uri() = default;

void Uri::clear() {
  m_scheme.clear();
  m_slashes.clear();
  m_host.clear();
  m_port = 0;
  m_path.clear();
  m_query.clear();
  m_user.clear();
  m_password.clear();
}

void Uri::parse(const std::string& text) {
  clear();
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return;
  m_scheme = lowerCased(text.substr(0, colon));

  size_t pos = colon + 1;
  size_t run = pos;
  while (run < text.size() && text[run] == '/') ++run;
  if (run == text.size()) return;
  // Only two slashes belong to the authority marker; a third starts the path.
  const size_t consumed = (run - pos > 2) ? 2 : run - pos;
  m_slashes = text.substr(pos, consumed);
  pos += consumed;

  size_t authorityEnd = text.find('/', pos);
  if (authorityEnd == std::string::npos) authorityEnd = text.size();
  const size_t at = text.find('@', pos);
  if (at != std::string::npos && at < authorityEnd) {
    const std::string userInfo = text.substr(pos, at - pos);
    const size_t userColon = userInfo.find(':');
    if (userColon != std::string::npos) {
      m_user = userInfo.substr(0, userColon);
      m_password = userInfo.substr(userColon + 1);
    } else {
      m_user = userInfo;
    }
    pos = at + 1;
  }

  size_t hostEnd = text.find_first_of(":/?", pos);
  if (hostEnd == std::string::npos) hostEnd = text.size();
  m_host = lowerCased(text.substr(pos, hostEnd - pos));
  pos = hostEnd;
  if (pos == text.size()) return;

  if (text[pos] == ':') {
    size_t portEnd = text.find_first_of("/?", pos + 1);
    if (portEnd == std::string::npos) portEnd = text.size();
    const std::string portText = text.substr(pos + 1, portEnd - pos - 1);
    if (!portText.empty()) m_port = parsePort(portText);
    pos = portEnd;
    if (pos == text.size()) return;
  }

  if (m_port == 0) {
    if (m_scheme == "http") m_port = 80;
    else if (m_scheme == "https") m_port = 443;
    else if (m_scheme == "rtsp") m_port = 554;
  }

  const size_t question = text.find('?', pos);
  m_path = text.substr(pos, (question == std::string::npos ? text.size() : question) - pos);
  if (question == std::string::npos) return;

  const std::string query = text.substr(question + 1);
  size_t start = 0;
  while (true) {
    const size_t amp = query.find('&', start);
    const std::string piece = query.substr(start, (amp == std::string::npos ? query.size() : amp) - start);
    const size_t eq = piece.find('=');
    const std::string key = piece.substr(0, eq);
    const std::string value = (eq == std::string::npos) ? std::string() : piece.substr(eq + 1);
    m_query.emplace(key, value);  // the first occurrence of a key wins
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
}

std::string Uri::toString(bool withCredentials) const {
  std::string out = m_scheme + ":" + m_slashes;
  if (withCredentials && !m_user.empty() && !m_password.empty()) out += m_user + ":" + m_password + "@";
  out += m_host;
  if (m_port > 0) out += ":" + std::to_string(m_port);
  out += m_path;
  if (!m_query.empty()) {
    out += "?";
    bool first = true;
    for (const auto& pair : m_query) {
      if (!first) out += "&";
      out += pair.first + "=" + pair.second;
      first = false;
    }
  }
  return out;
}

std::string Uri::queryValue(const std::string& key) const {
  const auto it = m_query.find(key);
  return it == m_query.end() ? std::string() : it->second;
}

std::string Uri::ToUtf8(const wchar_t* text) {
  if (!text || !*text) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  return out;
}

}  // namespace Common
}  // namespace ORVO
