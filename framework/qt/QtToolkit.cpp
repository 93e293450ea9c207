#include "framework/qt/QtToolkit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFontDatabase>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <map>
#include <vector>

#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "framework/Thread.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The drop-down list's entries at the model's item height, as the Windows
// list box draws them, whatever height the style would give the font.
class TItemHeightDelegate final : public QStyledItemDelegate {
 public:
  TItemHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(height_);
    return size;
  }

 private:
  int height_;
};

int ScreenPpi() {
  QScreen* s = QGuiApplication::primaryScreen();
  return s != nullptr ? qRound(s->logicalDotsPerInch()) : kDesignPixelsPerInch;
}

// Families tried in order; the first one installed is used. Fontconfig's
// metric-compatible families stand in for the Windows ones.
QStringList FamiliesFor(const std::string& name) {
  QStringList list{Q(name)};
  if (name == "Arial") {
    list << "Liberation Sans"
         << "Arimo"
         << "Helvetica"
         << "DejaVu Sans";
  } else if (name == "MS Sans Serif") {
    list << "Microsoft Sans Serif"
         << "Liberation Sans"
         << "Arimo"
         << "DejaVu Sans";
  } else {
    list << "Liberation Sans"
         << "DejaVu Sans";
  }
  return list;
}

QFont MakeFont(const TFont& f, int ppi) {
  QFont font;
  QStringList installed;
  const QStringList available = QFontDatabase::families();
  for (const QString& fam : FamiliesFor(f.Name))
    if (available.contains(fam, Qt::CaseInsensitive)) installed << fam;
  font.setFamilies(installed.isEmpty() ? FamiliesFor(f.Name) : installed);
  font.setStyleHint(QFont::SansSerif);
  // A negative height is the character height without internal leading,
  // which is Qt's pixel size; a positive one is the cell height, of which
  // the character takes about seven eighths.
  int px = f.Height < 0 ? -f.Height : (f.Height * 7 + 4) / 8;
  font.setPixelSize(std::max(1, ScaleToPpi(px, ppi)));
  font.setBold(f.Bold);
  return font;
}

QColor ToQColor(TColor c) {
  std::uint32_t rgb = QtResolveColor(c);
  return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

class TQtFormWidget;

class TQtPeer final : public IControlPeer {
 public:
  TQtPeer(TControl& c, QWidget* w, int ppi) : c_(c), w_(w), ppi_(ppi) {}
  ~TQtPeer() override {
    // A top-level widget takes its children with it; their peers then find
    // their widget gone.
    delete w_.data();
  }

  QWidget* Widget() const { return w_.data(); }

  void ApplyAll() {
    for (TChange ch : {TChange::Font, TChange::Color, TChange::Text, TChange::Items, TChange::ItemIndex,
                       TChange::Position, TChange::Enabled, TChange::Bounds})
      Changed(ch);
    if (c_.Kind() != TControlKind::Form) w_->setVisible(c_.Visible());
  }

  void Changed(TChange what) override {
    QWidget* w = w_.data();
    if (w == nullptr) return;
    switch (what) {
      case TChange::Bounds:
        ApplyBounds(w);
        break;
      case TChange::Text:
        ApplyText(w);
        break;
      case TChange::Color:
      case TChange::Font:
        ApplyLook(w);
        break;
      case TChange::Enabled:
        w->setEnabled(c_.Enabled());
        break;
      case TChange::Visible:
        // Showing the form is ShowForm's work, which sizes and centres it.
        if (c_.Kind() != TControlKind::Form || !c_.Visible()) w->setVisible(c_.Visible());
        break;
      case TChange::Items:
      case TChange::ItemIndex:
        ApplyItems(w);
        break;
      case TChange::Position:
        if (auto* bar = qobject_cast<QProgressBar*>(w)) {
          auto& model = static_cast<TProgressBar&>(c_);
          bar->setRange(model.Min(), model.Max());
          bar->setValue(model.Position());
        }
        break;
      case TChange::Repaint:
        w->repaint();
        break;
    }
  }

  void ApplyFormGeometry();

 private:
  void ApplyBounds(QWidget* w) {
    if (c_.Kind() == TControlKind::Form) {
      ApplyFormGeometry();
      return;
    }
    w->setGeometry(ScaleToPpi(c_.Left(), ppi_), ScaleToPpi(c_.Top(), ppi_), ScaleToPpi(c_.Width(), ppi_),
                   ScaleToPpi(c_.Height(), ppi_));
  }

  void ApplyText(QWidget* w) {
    const QString text = Q(c_.Caption());
    switch (c_.Kind()) {
      case TControlKind::Form:
        w->setWindowTitle(text);
        break;
      case TControlKind::GroupBox:
        static_cast<QGroupBox*>(w)->setTitle(text);
        break;
      case TControlKind::Panel:
      case TControlKind::Label:
        static_cast<QLabel*>(w)->setText(text);
        break;
      case TControlKind::Button:
        static_cast<QPushButton*>(w)->setText(text);
        break;
      case TControlKind::ComboBox: {
        auto* box = static_cast<QComboBox*>(w);
        if (box->isEditable()) box->setEditText(text);
        break;
      }
      case TControlKind::ProgressBar:
        break;
    }
  }

  void ApplyLook(QWidget* w) {
    w->setFont(MakeFont(c_.Font(), ppi_));
    QPalette pal = w->palette();
    QColor fg = ToQColor(c_.Font().Color);
    pal.setColor(QPalette::WindowText, fg);
    pal.setColor(QPalette::ButtonText, fg);
    pal.setColor(QPalette::Text, fg);
    // Only a control with a colour of its own paints its background; the
    // others show their parent's.
    bool own = !c_.ParentColor() || c_.Kind() == TControlKind::Form;
    if (own) pal.setColor(QPalette::Window, ToQColor(c_.Color()));
    w->setPalette(pal);
    w->setAutoFillBackground(own);
  }

  void ApplyItems(QWidget* w) {
    auto* box = qobject_cast<QComboBox*>(w);
    if (box == nullptr) return;
    auto& model = static_cast<TComboBox&>(c_);
    QSignalBlocker block(box);
    box->setEditable(!model.DropDownList());
    if (box->count() != model.ItemCount() || [&] {
          for (int i = 0; i < model.ItemCount(); ++i)
            if (box->itemText(i) != Q(model.Item(i))) return true;
          return false;
        }()) {
      box->clear();
      for (const std::string& s : model.Items()) box->addItem(Q(s));
    }
    box->setCurrentIndex(model.ItemIndex());
  }

  TControl& c_;
  QPointer<QWidget> w_;
  int ppi_;
  QMargins appliedFrame_{-1, -1, -1, -1};
};

// The main window's widget: its close box asks the model, which decides.
class TQtFormWidget final : public QWidget {
 public:
  explicit TQtFormWidget(TForm& form) : form_(form) {
    Qt::WindowFlags flags = Qt::Window;
    if (form.MinimizeOnly())
      flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
    setWindowFlags(flags);
  }
  TQtPeer* peer = nullptr;

 protected:
  void closeEvent(QCloseEvent* e) override {
    // The model hides the window when its close query allows it.
    e->ignore();
    GuardedDispatch([this] { form_.Close(); });
  }
  bool event(QEvent* e) override {
    bool r = QWidget::event(e);
    // A window manager's frame becomes known only once the window is mapped.
    if ((e->type() == QEvent::Show || e->type() == QEvent::Move) && peer != nullptr)
      peer->ApplyFormGeometry();
    return r;
  }

 private:
  TForm& form_;
};

// The model's width and height are the window's outer size, frame included.
// The client area is what remains inside the frame the window manager draws;
// with no window manager (a bare X server) there is no frame and the client
// area is the whole outer size.
void TQtPeer::ApplyFormGeometry() {
  QWidget* w = w_.data();
  if (w == nullptr) return;
  auto& form = static_cast<TForm&>(c_);
  QRect inner = w->geometry(), outer = w->frameGeometry();
  QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                 outer.bottom() - inner.bottom());
  if (!w->isVisible()) frame = QMargins();
  QSize client(std::max(1, form.Width() - frame.left() - frame.right()),
               std::max(1, form.Height() - frame.top() - frame.bottom()));
  bool sizeChanged = w->size() != client || w->minimumSize() != client || w->maximumSize() != client;
  if (form.FixedBorder()) {
    if (sizeChanged) w->setFixedSize(client);
  } else if (w->size() != client) {
    w->resize(client);
  }
  if (!sizeChanged && frame == appliedFrame_) return;
  appliedFrame_ = frame;
  QPoint topLeft(form.Left(), form.Top());
  if (form.Position() == TPosition::ScreenCenter) {
    QScreen* s = w->screen() != nullptr ? w->screen() : QGuiApplication::primaryScreen();
    QRect area = s != nullptr ? s->availableGeometry() : QRect(0, 0, form.Width(), form.Height());
    topLeft = QPoint(area.left() + (area.width() - form.Width()) / 2,
                     area.top() + (area.height() - form.Height()) / 2);
  }
  // For a top-level widget the position is that of its frame.
  if (w->pos() != topLeft) w->move(topLeft);
}

// A message box that centres itself on the screen once its size is known.
class TQtMessageBox final : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void showEvent(QShowEvent* e) override {
    QMessageBox::showEvent(e);
    QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (s == nullptr) return;
    QRect area = s->availableGeometry();
    QSize size = frameGeometry().size();
    move(area.left() + (area.width() - size.width()) / 2, area.top() + (area.height() - size.height()) / 2);
  }
};

void RunBox(const std::string& text, const std::string& title, QMessageBox::Icon icon) {
  TQtMessageBox box(icon, Q(title), Q(text), QMessageBox::NoButton);
  // The text is shown as it is, line breaks and runs of blanks included.
  box.setTextFormat(Qt::PlainText);
  QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  box.setDefaultButton(ok);
  box.setEscapeButton(ok);
  box.setWindowModality(Qt::ApplicationModal);
  // The nested loop keeps delivering timers and queued synchronised calls.
  box.exec();
}

}  // namespace

std::uint32_t QtResolveColor(TColor c) {
  if (!IsSystemColor(c)) return (ColorR(c) << 16) | (ColorG(c) << 8) | ColorB(c);
  const QPalette pal = QApplication::palette();
  QColor q;
  // The system colour indexes of the Windows palette, mapped to their
  // nearest role.
  switch (SystemColorIndex(c)) {
    case 0:   // scroll bar
    case 15:  // button face
      q = pal.color(QPalette::Button);
      break;
    case 1:  // desktop
    case 4:  // menu
      q = pal.color(QPalette::Window);
      break;
    case 2:   // active caption
    case 13:  // highlight
      q = pal.color(QPalette::Highlight);
      break;
    case 5:  // window
      q = pal.color(QPalette::Base);
      break;
    case 6:   // window frame
    case 21:  // 3D dark shadow
      q = pal.color(QPalette::Shadow);
      break;
    case 9:   // caption text
    case 14:  // highlight text
      q = pal.color(QPalette::HighlightedText);
      break;
    case 16:  // button shadow
      q = pal.color(QPalette::Dark);
      break;
    case 17:  // grey text
      q = pal.color(QPalette::Disabled, QPalette::Text);
      break;
    case 18:  // button text
      q = pal.color(QPalette::ButtonText);
      break;
    case 20:  // button highlight
      q = pal.color(QPalette::Light);
      break;
    case 22:  // 3D light
      q = pal.color(QPalette::Midlight);
      break;
    case 23:  // tooltip text
      q = pal.color(QPalette::ToolTipText);
      break;
    case 24:  // tooltip background
      q = pal.color(QPalette::ToolTipBase);
      break;
    case 8:  // window text
    case 7:  // menu text
    default:
      q = pal.color(QPalette::WindowText);
      break;
  }
  return (static_cast<std::uint32_t>(q.red()) << 16) | (static_cast<std::uint32_t>(q.green()) << 8) |
         static_cast<std::uint32_t>(q.blue());
}

struct TQtToolkit::Impl {
  // Lives on the UI thread: the target of queued calls and the timers' parent.
  QObject context;
  std::map<TTimer*, QTimer*> timers;
  QEventLoop* loop = nullptr;
  bool quit = false;
};

TQtToolkit::TQtToolkit() : impl_(std::make_unique<Impl>()) {
  // The model decides when the program ends, not the last window closing
  // (a message box may be the only window for a moment).
  QGuiApplication::setQuitOnLastWindowClosed(false);
}

TQtToolkit::~TQtToolkit() = default;

namespace {

QWidget* CreateWidget(TControl& c, QWidget* parent, int ppi) {
  QWidget* w = nullptr;
  switch (c.Kind()) {
    case TControlKind::Form:
      w = new TQtFormWidget(static_cast<TForm&>(c));
      break;
    case TControlKind::GroupBox:
      w = new QGroupBox(parent);
      break;
    case TControlKind::ProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setTextVisible(false);
      w = bar;
      break;
    }
    case TControlKind::Panel: {
      auto* panel = new QLabel(parent);
      panel->setAlignment(Qt::AlignCenter);
      switch (static_cast<TPanel&>(c).BevelOuter()) {
        case TBevelCut::Lowered:
          panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
          break;
        case TBevelCut::Raised:
          panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
          break;
        case TBevelCut::None:
          panel->setFrameStyle(QFrame::NoFrame);
          break;
      }
      panel->setLineWidth(1);
      w = panel;
      break;
    }
    case TControlKind::Label: {
      auto* label = new QLabel(parent);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      label->setWordWrap(false);
      label->setContentsMargins(0, 0, 0, 0);
      w = label;
      break;
    }
    case TControlKind::ComboBox: {
      auto* box = new QComboBox(parent);
      auto& model = static_cast<TComboBox&>(c);
      QObject::connect(box, QOverload<int>::of(&QComboBox::activated),
                       [&model](int i) { GuardedDispatch([&] { model.DoUserSelect(i); }); });
      box->setItemDelegate(new TItemHeightDelegate(ScaleToPpi(model.ItemHeight(), ppi), box));
      w = box;
      break;
    }
    case TControlKind::Button: {
      auto* button = new QPushButton(parent);
      auto& model = static_cast<TButton&>(c);
      QObject::connect(button, &QPushButton::clicked,
                       [&model] { GuardedDispatch([&] { model.DoUserClick(); }); });
      w = button;
      break;
    }
  }
  w->setObjectName(Q(c.Name()));
  if (c.Kind() != TControlKind::Form)
    w->setFocusPolicy(c.TabStop() ? Qt::StrongFocus
                                  : (c.Kind() == TControlKind::Button || c.Kind() == TControlKind::ComboBox
                                         ? Qt::ClickFocus
                                         : Qt::NoFocus));
  auto peer = std::make_unique<TQtPeer>(c, w, ppi);
  TQtPeer* raw = peer.get();
  c.SetPeer(std::move(peer));
  if (c.Kind() == TControlKind::Form) static_cast<TQtFormWidget*>(w)->peer = raw;

  std::vector<TControl*> children = c.Children();
  std::stable_sort(children.begin(), children.end(),
                   [](TControl* a, TControl* b) { return a->TabOrder() < b->TabOrder(); });
  for (TControl* child : children) CreateWidget(*child, w, ppi);
  raw->ApplyAll();
  return w;
}

// Tab order follows the models' tab orders, parent by parent.
void ChainTabOrder(TControl& c, QWidget*& last) {
  std::vector<TControl*> children = c.Children();
  std::stable_sort(children.begin(), children.end(),
                   [](TControl* a, TControl* b) { return a->TabOrder() < b->TabOrder(); });
  for (TControl* child : children) {
    auto* peer = dynamic_cast<TQtPeer*>(child->Peer());
    QWidget* w = peer != nullptr ? peer->Widget() : nullptr;
    if (w != nullptr && (w->focusPolicy() & Qt::TabFocus)) {
      if (last != nullptr) QWidget::setTabOrder(last, w);
      last = w;
    }
    ChainTabOrder(*child, last);
  }
}

}  // namespace

void TQtToolkit::ShowForm(TForm& form) {
  auto* peer = dynamic_cast<TQtPeer*>(form.Peer());
  if (peer == nullptr || peer->Widget() == nullptr) {
    QWidget* w = CreateWidget(form, nullptr, PixelsPerInch());
    QIcon icon(QStringLiteral(":/icons/%1.png").arg(Q(form.IconName())));
    if (!form.IconName().empty() && !icon.isNull()) w->setWindowIcon(icon);
    QWidget* last = nullptr;
    ChainTabOrder(form, last);
    peer = static_cast<TQtPeer*>(form.Peer());
  }
  QWidget* w = peer->Widget();
  peer->ApplyFormGeometry();
  w->show();
  w->raise();
}

void TQtToolkit::HideForm(TForm& form) {
  auto* peer = dynamic_cast<TQtPeer*>(form.Peer());
  if (peer != nullptr && peer->Widget() != nullptr) peer->Widget()->hide();
}

void TQtToolkit::RunLoop() {
  if (!impl_->quit) {
    QEventLoop loop;
    impl_->loop = &loop;
    // Calls queued before the loop started were announced to no loop yet.
    QMetaObject::invokeMethod(
        &impl_->context, [] { CheckSynchronize(); }, Qt::QueuedConnection);
    loop.exec();
    impl_->loop = nullptr;
  }
  impl_->quit = false;
}

void TQtToolkit::Quit() {
  impl_->quit = true;
  if (impl_->loop != nullptr) impl_->loop->exit(0);
}

void TQtToolkit::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  CheckSynchronize();
}

void TQtToolkit::WakeMainThread() {
  // Thread-safe: posts an event to the UI thread's context object.
  QMetaObject::invokeMethod(
      &impl_->context, [] { CheckSynchronize(); }, Qt::QueuedConnection);
}

void TQtToolkit::StartTimer(TTimer& timer, int intervalMs) {
  StopTimer(timer);
  auto* t = new QTimer(&impl_->context);
  // A coarse timer may fire up to 5 % early; the run relies on whole intervals.
  t->setTimerType(Qt::PreciseTimer);
  t->setInterval(intervalMs);
  TTimer* model = &timer;
  // The tick hands what its handler throws to the application itself.
  QObject::connect(t, &QTimer::timeout, t, [model] { model->DispatchTick(); });
  impl_->timers[&timer] = t;
  t->start();
}

void TQtToolkit::StopTimer(TTimer& timer) {
  auto it = impl_->timers.find(&timer);
  if (it == impl_->timers.end()) return;
  QTimer* t = it->second;
  impl_->timers.erase(it);
  t->stop();
  t->disconnect();
  // The timer may be stopping from inside its own tick.
  t->deleteLater();
}

void TQtToolkit::MessageBox(const std::string& text, const std::string& title, TMsgBoxKind kind) {
  RunBox(text, title, kind == TMsgBoxKind::Error ? QMessageBox::Critical : QMessageBox::Information);
}

void TQtToolkit::ShowExceptionBox(const std::string& message) {
  RunBox(message, kExceptionTitle, QMessageBox::Critical);
}

int TQtToolkit::PixelsPerInch() { return ScreenPpi(); }
