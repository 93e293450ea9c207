// The controls of the main window, as toolkit-neutral models. A backend
// gives each control a peer when the form is shown and is told of every
// change; user actions come back through the Do... entry points.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/Classes.h"

// 0x00BBGGRR, or a system colour (high bit set) that the backend resolves.
using TColor = std::uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clGreen = 0x008000;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clBtnFace = 0x8000000F;
constexpr TColor clWindowText = 0x80000008;
constexpr TColor clWindow = 0x80000005;

constexpr std::uint8_t ColorR(TColor c) { return c & 0xFF; }
constexpr std::uint8_t ColorG(TColor c) { return (c >> 8) & 0xFF; }
constexpr std::uint8_t ColorB(TColor c) { return (c >> 16) & 0xFF; }

// A system colour has the high bit set; its low byte is the index of the
// system's colour table (15 button face, 8 window text, 5 window) that the
// backend resolves. Anything else is a plain colour.
constexpr bool IsSystemColor(TColor c) { return (c & 0x80000000u) != 0; }
constexpr int SystemColorIndex(TColor c) { return static_cast<int>(c & 0xFF); }

struct TFont {
  std::string Name = "MS Sans Serif";
  int Height = -11;  // negative: character height in pixels at 96 dpi
  bool Bold = false;
  TColor Color = clWindowText;
  bool operator==(const TFont&) const = default;
};

enum class TControlKind { Form, GroupBox, ProgressBar, Panel, Label, ComboBox, Button };

enum class TChange { Bounds, Text, Color, Font, Enabled, Visible, Items, ItemIndex, Position, Repaint };

class TControl;

class IControlPeer {
 public:
  virtual ~IControlPeer() = default;
  virtual void Changed(TChange what) = 0;
};

class TControl : public TComponent {
 public:
  TControl(TComponent* owner, TControlKind kind);
  ~TControl() override;

  TControlKind Kind() const { return kind_; }

  TControl* Parent() const { return parent_; }
  void SetParent(TControl* parent);
  const std::vector<TControl*>& Children() const { return children_; }

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetBounds(int left, int top, int width, int height);
  void SetWidth(int w) { SetBounds(left_, top_, w, height_); }
  void SetHeight(int h) { SetBounds(left_, top_, width_, h); }

  // Caption of forms, group boxes, panels and buttons; text of labels and
  // the displayed text of a drop-down list.
  const std::string& Caption() const { return caption_; }
  virtual void SetCaption(const std::string& text);

  TColor Color() const { return color_; }
  void SetColor(TColor c);
  // Whether the control paints its own background in Color.
  bool ParentColor() const { return parentColor_; }
  void SetParentColor(bool on) { parentColor_ = on; }

  const TFont& Font() const { return font_; }
  void SetFont(const TFont& f);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);
  bool Visible() const { return visible_; }
  void SetVisible(bool on);

  int TabOrder() const { return tabOrder_; }
  void SetTabOrder(int t) { tabOrder_ = t; }
  bool TabStop() const { return tabStop_; }
  void SetTabStop(bool on) { tabStop_ = on; }

  // Paints the control at once.
  void Repaint() { Changed(TChange::Repaint); }

  IControlPeer* Peer() const { return peer_.get(); }
  void SetPeer(std::unique_ptr<IControlPeer> peer);

 protected:
  void Changed(TChange what);

 private:
  TControlKind kind_;
  TControl* parent_ = nullptr;
  std::vector<TControl*> children_;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  std::string caption_;
  TColor color_ = clBtnFace;
  bool parentColor_ = true;
  TFont font_;
  bool enabled_ = true;
  bool visible_ = true;
  int tabOrder_ = 0;
  bool tabStop_ = true;
  std::unique_ptr<IControlPeer> peer_;
};

class TGroupBox : public TControl {
 public:
  explicit TGroupBox(TComponent* owner) : TControl(owner, TControlKind::GroupBox) {}
};

class TProgressBar : public TControl {
 public:
  explicit TProgressBar(TComponent* owner) : TControl(owner, TControlKind::ProgressBar) {}
  int Min() const { return min_; }
  int Max() const { return max_; }
  void SetRange(int min, int max);
  int Position() const { return position_; }
  void SetPosition(int p);
  bool Smooth() const { return smooth_; }
  void SetSmooth(bool on) { smooth_ = on; }
  int Step() const { return step_; }
  void SetStep(int s) { step_ = s; }

 private:
  int min_ = 0, max_ = 100, position_ = 0, step_ = 10;
  bool smooth_ = false;
};

enum class TBevelCut { None, Lowered, Raised };

class TPanel : public TControl {
 public:
  explicit TPanel(TComponent* owner) : TControl(owner, TControlKind::Panel) {}
  TBevelCut BevelOuter() const { return bevelOuter_; }
  void SetBevelOuter(TBevelCut b) { bevelOuter_ = b; }

 private:
  TBevelCut bevelOuter_ = TBevelCut::Raised;
};

class TLabel : public TControl {
 public:
  explicit TLabel(TComponent* owner) : TControl(owner, TControlKind::Label) {}
  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool on) { autoSize_ = on; }

 private:
  bool autoSize_ = true;
};

using TChangeEvent = TNotifyEvent;

class TComboBox : public TControl {
 public:
  explicit TComboBox(TComponent* owner) : TControl(owner, TControlKind::ComboBox) {}

  // The items; every change is passed on to the peer.
  int ItemCount() const { return static_cast<int>(items_.size()); }
  const std::string& Item(int i) const { return items_.at(static_cast<std::size_t>(i)); }
  const std::vector<std::string>& Items() const { return items_; }
  void ClearItems();
  void AddItem(const std::string& s);

  int ItemIndex() const { return itemIndex_; }
  // Selects an entry (-1: none); the displayed text follows the selection.
  void SetItemIndex(int i);
  // The displayed text. In a pick-only list, setting it selects the entry
  // with that text, or nothing when there is none.
  void SetCaption(const std::string& text) override;

  bool DropDownList() const { return dropDownList_; }
  void SetDropDownList(bool on) { dropDownList_ = on; }
  int ItemHeight() const { return itemHeight_; }
  void SetItemHeight(int h) { itemHeight_ = h; }

  TChangeEvent OnChange;

  // The user picked entry i.
  void DoUserSelect(int i);

 private:
  std::vector<std::string> items_;
  int itemIndex_ = -1;
  bool dropDownList_ = false;
  int itemHeight_ = 13;
};

class TButton : public TControl {
 public:
  explicit TButton(TComponent* owner) : TControl(owner, TControlKind::Button) {}
  TNotifyEvent OnClick;
  // The user pressed the button; a disabled button ignores it.
  void DoUserClick();
};

using TCloseQueryEvent = TMethod<void(TObject*, bool&)>;

enum class TPosition { Designed, ScreenCenter };

class TForm : public TControl {
 public:
  explicit TForm(TComponent* owner);

  int ClientWidth() const { return clientWidth_; }
  int ClientHeight() const { return clientHeight_; }
  void SetClientSize(int w, int h) {
    clientWidth_ = w;
    clientHeight_ = h;
  }
  bool FixedBorder() const { return fixedBorder_; }
  void SetFixedBorder(bool on) { fixedBorder_ = on; }
  // Title-bar buttons: system menu and minimize only when true.
  bool MinimizeOnly() const { return minimizeOnly_; }
  void SetMinimizeOnly(bool on) { minimizeOnly_ = on; }
  TPosition Position() const { return position_; }
  void SetPosition(TPosition p) { position_ = p; }
  bool KeyPreview() const { return keyPreview_; }
  void SetKeyPreview(bool on) { keyPreview_ = on; }
  // The window icon: a backend-neutral resource name.
  const std::string& IconName() const { return iconName_; }
  void SetIconName(const std::string& n) { iconName_ = n; }

  TCloseQueryEvent OnCloseQuery;

  void Show();
  // The user (or the program) closes the window: asks OnCloseQuery, then
  // hides the window; closing the main window ends the message loop.
  void Close();

 private:
  int clientWidth_ = 0, clientHeight_ = 0;
  bool fixedBorder_ = false;
  bool minimizeOnly_ = false;
  TPosition position_ = TPosition::Designed;
  bool keyPreview_ = false;
  std::string iconName_;
};
