#include "framework/Classes.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  state_.Include(csDestroying);
  NotifyRemoval();
  // Owned components go first, last created first.
  while (!components_.empty()) {
    TComponent* c = components_.back();
    delete c;  // its destructor removes it from components_
  }
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* c) {
  c->owner_ = this;
  components_.push_back(c);
}

void TComponent::RemoveComponent(TComponent* c) {
  auto it = std::find(components_.begin(), components_.end(), c);
  if (it == components_.end()) return;
  components_.erase(it);
  c->owner_ = nullptr;
  // The owner and all its other components hear of the removal.
  Notification(c, opRemove);
}

void TComponent::NotifyRemoval() {
  std::set<TComponent*> watchers;
  watchers.swap(freeNotifies_);
  for (TComponent* w : watchers) {
    w->freeNotifies_.erase(this);
    w->Notification(this, opRemove);
  }
}

void TComponent::FreeNotification(TComponent* other) {
  if (other == nullptr || other == this) return;
  freeNotifies_.insert(other);
  other->freeNotifies_.insert(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (other == nullptr) return;
  freeNotifies_.erase(other);
  other->freeNotifies_.erase(this);
}

void TComponent::Loaded() { state_.Exclude(csLoading); }

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component != nullptr) RemoveFreeNotification(component);
  // Copy: a handler may free components.
  std::vector<TComponent*> owned = components_;
  for (TComponent* c : owned) {
    if (c != component) c->Notification(component, operation);
  }
}

void TComponent::BeginLoading() {
  state_.Include(csLoading);
  for (TComponent* c : components_) c->BeginLoading();
}

void TComponent::EndLoading() {
  std::vector<TComponent*> owned = components_;
  for (TComponent* c : owned) c->EndLoading();
  if (state_.Contains(csLoading)) Loaded();
}

void TComponent::SetDesigning(bool on) {
  if (on)
    state_.Include(csDesigning);
  else
    state_.Exclude(csDesigning);
  for (TComponent* c : components_) c->SetDesigning(on);
}
