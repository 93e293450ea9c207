#include "framework/Controls.h"

#include <algorithm>

#include "framework/Forms.h"
#include "framework/Toolkit.h"

TControl::TControl(TComponent* owner, TControlKind kind) : TComponent(owner), kind_(kind) {}

TControl::~TControl() {
  peer_.reset();
  for (TControl* c : children_) c->parent_ = nullptr;
  if (parent_ != nullptr) {
    auto& sib = parent_->children_;
    sib.erase(std::remove(sib.begin(), sib.end(), this), sib.end());
  }
}

void TControl::SetParent(TControl* parent) {
  if (parent_ == parent) return;
  if (parent_ != nullptr) {
    auto& sib = parent_->children_;
    sib.erase(std::remove(sib.begin(), sib.end(), this), sib.end());
  }
  parent_ = parent;
  if (parent_ != nullptr) parent_->children_.push_back(this);
}

void TControl::SetBounds(int left, int top, int width, int height) {
  if (left == left_ && top == top_ && width == width_ && height == height_) return;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Changed(TChange::Bounds);
}

void TControl::SetCaption(const std::string& text) {
  if (text == caption_) return;
  caption_ = text;
  Changed(TChange::Text);
}

void TControl::SetColor(TColor c) {
  parentColor_ = false;
  if (c == color_) return;
  color_ = c;
  Changed(TChange::Color);
}

void TControl::SetFont(const TFont& f) {
  if (f == font_) return;
  font_ = f;
  Changed(TChange::Font);
}

void TControl::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  Changed(TChange::Enabled);
}

void TControl::SetVisible(bool on) {
  if (on == visible_) return;
  visible_ = on;
  Changed(TChange::Visible);
}

void TControl::SetPeer(std::unique_ptr<IControlPeer> peer) { peer_ = std::move(peer); }

void TControl::Changed(TChange what) {
  if (peer_) peer_->Changed(what);
}

void TProgressBar::SetRange(int min, int max) {
  min_ = min;
  max_ = max;
  Changed(TChange::Position);
}

void TProgressBar::SetPosition(int p) {
  p = std::clamp(p, min_, max_);
  if (p == position_) return;
  position_ = p;
  Changed(TChange::Position);
}

void TComboBox::ClearItems() {
  items_.clear();
  itemIndex_ = -1;
  TControl::SetCaption("");
  Changed(TChange::Items);
}

void TComboBox::AddItem(const std::string& s) {
  items_.push_back(s);
  Changed(TChange::Items);
}

void TComboBox::SetItemIndex(int i) {
  if (i < -1 || i >= ItemCount()) i = -1;
  itemIndex_ = i;
  TControl::SetCaption(i >= 0 ? items_[static_cast<std::size_t>(i)] : std::string());
  Changed(TChange::ItemIndex);
}

void TComboBox::SetCaption(const std::string& text) {
  if (!dropDownList_) {
    TControl::SetCaption(text);
    return;
  }
  auto it = std::find(items_.begin(), items_.end(), text);
  SetItemIndex(it == items_.end() ? -1 : static_cast<int>(it - items_.begin()));
}

void TComboBox::DoUserSelect(int i) {
  if (!Enabled() || i < 0 || i >= ItemCount()) return;
  SetItemIndex(i);
  if (OnChange.Assigned()) OnChange(this);
}

void TButton::DoUserClick() {
  if (!Enabled()) return;
  if (OnClick.Assigned()) OnClick(this);
}

TForm::TForm(TComponent* owner) : TControl(owner, TControlKind::Form) {}

void TForm::Show() {
  SetVisible(true);
  Toolkit().ShowForm(*this);
}

void TForm::Close() {
  bool canClose = true;
  if (OnCloseQuery.Assigned()) OnCloseQuery(this, canClose);
  if (!canClose) return;
  Toolkit().HideForm(*this);
  SetVisible(false);
  if (Application != nullptr && Application->MainForm() == this) Application->MainFormClosed();
}
