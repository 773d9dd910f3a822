// One owner for every kind of system handle: a traits struct per kind says what "no handle"
// is and how to close one. Move-only; closes on destruction and on reset.
//
//   struct dir_traits : handle_traits<DIR*> {
//     static void close(type d) { closedir(d); }
//   };
//   scoped_handle<dir_traits> dir(opendir(path));
#pragma once

#include <utility>

// What most kinds share: the handle type, and `None` (null unless given) as "no handle". A kind
// derives from it and adds its close(); one with another idea of "none" hides invalid() and
// is_valid() with its own.
template <typename T, auto None = nullptr>
struct handle_traits {
  using type = T;
  static type invalid() { return None; }
  static bool is_valid(type h) { return h != invalid(); }
};

template <typename Traits>
class scoped_handle {
 public:
  using handle_type = typename Traits::type;

  scoped_handle() = default;
  explicit scoped_handle(handle_type h) : h_(h) {}
  ~scoped_handle() { reset(); }
  scoped_handle(const scoped_handle&) = delete;
  scoped_handle& operator=(const scoped_handle&) = delete;
  scoped_handle(scoped_handle&& other) noexcept : h_(other.release()) {}
  scoped_handle& operator=(scoped_handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  handle_type get() const { return h_; }
  explicit operator bool() const { return Traits::is_valid(h_); }

  // Closes the handle held (if any) and takes `h`.
  void reset(handle_type h = Traits::invalid()) {
    if (Traits::is_valid(h_)) Traits::close(h_);
    h_ = h;
  }
  // Gives up ownership without closing.
  handle_type release() { return std::exchange(h_, Traits::invalid()); }

 private:
  handle_type h_ = Traits::invalid();
};
