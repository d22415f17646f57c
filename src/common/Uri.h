#pragma once

#include <map>
#include <string>

namespace ORVO {
namespace Common {

// Splits a URI into its parts with a small scanner. It does not validate and does not decode
// percent escapes; text that does not fit leaves parts empty. Works on UTF-8 narrow strings.
class Uri {
 public:
  Uri();
  explicit Uri(const std::string& text);
  // Virtual though nothing derives from it: the layout (destructor, toString, clear, parse) is fixed.
  virtual ~Uri();

  virtual std::string toString(bool withCredentials = false) const;
  virtual void clear();
  virtual void parse(const std::string& text);

  const std::string& scheme() const { return m_scheme; }
  const std::string& slashes() const { return m_slashes; }
  const std::string& host() const { return m_host; }
  int port() const { return m_port; }
  const std::string& path() const { return m_path; }
  const std::map<std::string, std::string>& query() const { return m_query; }
  const std::string& user() const { return m_user; }
  const std::string& password() const { return m_password; }
  // The value of a query key, or the empty string when it is absent.
  std::string queryValue(const std::string& key) const;

  // Converts a host's wide-character URI to UTF-8 for parsing.
  static std::string ToUtf8(const wchar_t* text);

 private:
  std::string m_scheme;
  std::string m_slashes;
  std::string m_host;
  int m_port = 0;
  std::string m_path;
  std::map<std::string, std::string> m_query;
  std::string m_user;
  std::string m_password;
};

}  // namespace Common
}  // namespace ORVO
