// Placeholder until the formatter lands.
#include "util/format.hpp"

#include "util/stop.hpp"

namespace util {
std::string format(std::string_view, std::span<const FmtItem>) { fatal("format: not built yet"); }
void put_i(std::string&, std::int64_t, int, int) { fatal("format: not built yet"); }
void put_f(std::string&, double, int, int) { fatal("format: not built yet"); }
void put_e(std::string&, double, int, int, int) { fatal("format: not built yet"); }
void put_g(std::string&, double, int, int, int) { fatal("format: not built yet"); }
void put_a(std::string&, std::string_view, int) { fatal("format: not built yet"); }
std::string free_format(std::span<const FmtItem> items) {
  std::string s;
  for (const auto& it : items) {
    s += ' ';
    if (it.kind == FmtItem::Text) s += it.s;
    else if (it.kind == FmtItem::Int) s += std::to_string(it.i);
    else s += std::to_string(it.d);
  }
  return s;
}
void say_text(std::string_view s) {
  std::fwrite(s.data(), 1, s.size(), stdout);
  std::fputc('\n', stdout);
}
}  // namespace util
