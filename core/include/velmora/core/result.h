#pragma once

#include <cassert>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace velmora {

// A failure as a value: one display text, the outermost only.
class Error {
 public:
  explicit Error(std::string text) : m_text(std::move(text)) {}

  const std::string& text() const { return m_text; }

  friend bool operator==(const Error&, const Error&) = default;

 private:
  std::string m_text;
};

// The subset of std::expected that we use, so that it can become std::expected later.
template <typename T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cvref_t<T>, Error>);

 public:
  Result(T value) : m_value(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  Result(Error error) : m_value(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  bool has_value() const { return m_value.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & {
    assert(has_value());
    return std::get<0>(m_value);
  }
  const T& value() const& {
    assert(has_value());
    return std::get<0>(m_value);
  }
  T&& value() && {
    assert(has_value());
    return std::get<0>(std::move(m_value));
  }
  const Error& error() const {
    assert(!has_value());
    return std::get<1>(m_value);
  }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Error> m_value;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : m_error(std::move(error)), m_failed(true) {}  // NOLINT: implicit

  bool has_value() const { return !m_failed; }
  explicit operator bool() const { return has_value(); }
  void value() const { assert(has_value()); }
  const Error& error() const {
    assert(m_failed);
    return m_error;
  }

 private:
  Error m_error{std::string()};
  bool m_failed = false;
};

}  // namespace velmora
