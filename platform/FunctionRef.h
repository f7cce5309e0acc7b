// A callable passed by reference for the length of one call: its object and
// how to call it, in two pointers. std::function would copy the callable to
// the heap and bring, for each lambda, a manager and the lambda's type
// information into the program; a function that only calls what it is given
// before it returns needs neither. Never keep one beyond the call that
// received it.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace pellarion {

template <typename Signature>
class FunctionRef;

template <typename Result, typename... Args>
class FunctionRef<Result(Args...)> {
 public:
  // Empty: nothing to call.
  FunctionRef() = default;

  template <typename Callable,
            typename = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<Callable>, FunctionRef> &&
                                        std::is_invocable_r_v<Result, Callable&, Args...>>>
  FunctionRef(Callable&& callable)  // NOLINT: converts from any callable, as std::function does
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Args... args) -> Result {
          return (*static_cast<std::remove_reference_t<Callable>*>(object))(std::forward<Args>(args)...);
        }) {}

  explicit operator bool() const { return call_ != nullptr; }
  Result operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_ = nullptr;
  Result (*call_)(void*, Args...) = nullptr;
};

}  // namespace pellarion
