// Component model of the toolkit: objects, persistent settings objects,
// components with owner and loading state, and comparable method references.
#pragma once

#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// A reference to a member function together with the object it is called on.
// Two references hold the "same function" when they name the same member
// function of the same class; the object part is compared only by operator==.
// The member pointer itself is stored and compared, never the generated
// invoker, so identical-code folding of invokers cannot make two different
// handlers look equal.
template <class Sig>
class TMethod;

template <class R, class... A>
class TMethod<R(A...)> {
 public:
  TMethod() = default;
  TMethod(std::nullptr_t) {}

  template <class C, class M>
  requires std::is_base_of_v<M, C> TMethod(C* object, R (M::*fn)(A...)) {
    using Ptr = R (M::*)(A...);
    static_assert(sizeof(Ptr) <= kFnBytes, "member pointer too large");
    object_ = static_cast<M*>(object);
    std::memcpy(fn_, &fn, sizeof(Ptr));
    fnType_ = &typeid(Ptr);
    invoke_ = [](void* obj, const unsigned char* raw, A... args) -> R {
      Ptr p;
      std::memcpy(&p, raw, sizeof(Ptr));
      return (static_cast<M*>(obj)->*p)(std::forward<A>(args)...);
    };
  }

  bool Assigned() const { return invoke_ != nullptr; }
  explicit operator bool() const { return Assigned(); }

  void* Data() const { return object_; }

  bool SameFunction(const TMethod& other) const {
    if (!Assigned() || !other.Assigned()) return Assigned() == other.Assigned();
    return *fnType_ == *other.fnType_ && std::memcmp(fn_, other.fn_, kFnBytes) == 0;
  }

  // Same function and same object.
  bool operator==(const TMethod& other) const { return SameFunction(other) && object_ == other.object_; }
  bool operator==(std::nullptr_t) const { return !Assigned(); }

  R operator()(A... args) const { return invoke_(object_, fn_, std::forward<A>(args)...); }

 private:
  static constexpr std::size_t kFnBytes = 2 * sizeof(void*) + sizeof(std::ptrdiff_t);
  void* object_ = nullptr;
  alignas(void*) unsigned char fn_[kFnBytes] = {};
  const std::type_info* fnType_ = nullptr;
  R (*invoke_)(void*, const unsigned char*, A...) = nullptr;
};

using TNotifyEvent = TMethod<void(TObject*)>;

class TPersistent : public TObject {};

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag { csLoading = 1, csDesigning = 2, csDestroying = 4 };

// Set of component state flags.
class TComponentState {
 public:
  bool Contains(TComponentStateFlag f) const { return (bits_ & f) != 0; }
  void Include(TComponentStateFlag f) { bits_ |= f; }
  void Exclude(TComponentStateFlag f) { bits_ &= ~static_cast<unsigned>(f); }

 private:
  unsigned bits_ = 0;
};

// A component belongs to its owner, which frees it; components that watch
// another component learn of its removal through Notification.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  const TComponentState& ComponentState() const { return state_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int i) const { return components_.at(static_cast<std::size_t>(i)); }

  // Asks this component to be told when `other` is destroyed, also when it
  // is not the owner of `other`.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

  // Marks this component and all it owns as loading; EndLoading clears the
  // flag through Loaded(), owned components first, in creation order.
  void BeginLoading();
  void EndLoading();

  // Test and tool hook: the design state, in which components never touch
  // devices.
  void SetDesigning(bool on);

 protected:
  virtual void Loaded();
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  void InsertComponent(TComponent* c);
  void RemoveComponent(TComponent* c);
  void NotifyRemoval();

  TComponent* owner_ = nullptr;
  std::string name_;
  TComponentState state_;
  std::vector<TComponent*> components_;
  std::set<TComponent*> freeNotifies_;
};
