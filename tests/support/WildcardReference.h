#pragma once
// The wildcard rules walked the plain recursive way: at a star every later text position
// that fits is tried in turn. Exponential on masks with many stars, so it serves only as the
// reference the fast matcher is checked against (tests) and measured against (bench).
#include <string>

namespace quorbin_test {

class WildcardReference {
public:
  static bool IsMatch(std::string mask, std::string text) {
    for (auto* s : {&mask, &text})
      for (char& c : *s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return WildcardReference{mask, text}.Match(0, 0);
  }

private:
  WildcardReference(const std::string& mask, const std::string& text) : m(mask), t(text) {}

  // 1 accept, 0 reject, -1 malformed; `end` past the "]" on accept.
  int Set(size_t p, unsigned char ch, size_t& end) const {
    ++p;
    bool neg = false;
    if (p < m.size() && (m[p] == '!' || m[p] == '^')) neg = true, ++p;
    if (p >= m.size() || m[p] == ']') return -1;
    bool acc = false;
    while (true) {
      if (p >= m.size()) return -1;
      if (m[p] == ']') break;
      unsigned char s = static_cast<unsigned char>(m[p++]), e = s;
      if (p >= m.size()) return -1;
      if (m[p] == '-') {
        ++p;
        if (p >= m.size() || m[p] == ']') return -1;
        e = static_cast<unsigned char>(m[p++]);
        if (p >= m.size()) return -1;
      }
      if ((ch >= s && ch <= e) || (ch >= e && ch <= s)) {
        acc = true;
        break;
      }
    }
    if (acc == neg) return 0;
    if (acc) {
      while (p < m.size() && m[p] != ']') ++p;
      if (p >= m.size()) return -1;
    }
    end = p + 1;
    return 1;
  }

  bool Match(size_t p, size_t i) const {
    while (p < m.size()) {
      if (i >= t.size()) return m.size() - p == 1 && m[p] == '*';
      if (m[p] == '*') return Star(p, i);
      if (m[p] == '?') {
        ++p;
      } else if (m[p] == '[') {
        size_t end = 0;
        if (Set(p, static_cast<unsigned char>(t[i]), end) != 1) return false;
        p = end;
      } else {
        if (m[p] != t[i]) return false;
        ++p;
      }
      ++i;
    }
    return i >= t.size();
  }

  bool Star(size_t p, size_t i) const {
    while (p < m.size() && (m[p] == '*' || m[p] == '?')) {
      if (m[p] == '?') {
        if (i >= t.size()) return false;
        ++i;
      }
      ++p;
    }
    if (p >= m.size()) return true;
    for (size_t k = i; k < t.size(); ++k)
      if ((t[k] == m[p] || m[p] == '[') && Match(p, k)) return true;
    return false;
  }

  const std::string& m;
  const std::string& t;
};

}  // namespace quorbin_test
