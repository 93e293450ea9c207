// The main window: sizes, caption, control group and message convention.
#include <gtest/gtest.h>

#include <sstream>

#include "app/Main.h"
#include "framework/ScopedToolkit.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"

namespace {

TEST(OuterSizeTest, ScalesWithTheScreenDensityAndTruncates) {
  struct Row {
    int ppi, w, h;
  };
  for (Row r :
       {Row{96, 593, 175}, Row{100, 617, 182}, Row{120, 741, 218}, Row{144, 889, 262}, Row{192, 1186, 350}}) {
    TOuterSize s = OuterSizeFor(r.ppi);
    EXPECT_EQ(s.Width, r.w) << r.ppi;
    EXPECT_EQ(s.Height, r.h) << r.ppi;
  }
}

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::Transcript::SetStream(&out); }
  void TearDown() override {
    delete form;
    platform::Transcript::SetStream(nullptr);
  }
  void Create() { app.CreateForm(form); }
  platform::SimPlatform sim{true};
  THeadlessToolkit tk;
  std::ostringstream out;
  TApplication app;
  TMainForm* form = nullptr;
  platform::ScopedPlatform useSim{sim};
  ScopedToolkit useTk{tk};
};

TEST_F(MainFormTest, CaptionFromTheProgramVersion) {
  struct Row {
    std::optional<platform::FileVersion> v;
    const char* caption;
  };
  for (const Row& r :
       {Row{platform::FileVersion{7, 4}, "Quorvaltine v7.4"}, Row{std::nullopt, "Quorvaltine v"},
        Row{platform::FileVersion{0, 0}, "Quorvaltine v0.0"},
        // 11 characters do not fit the room of 9.
        Row{platform::FileVersion{65535, 65535}, "Quorvaltine v65535.655"}}) {
    sim.SetProgramVersion(r.v);
    EXPECT_EQ(VersionCaption(), r.caption);
  }
}

TEST_F(MainFormTest, StartStateAndOuterSize) {
  tk.SetPixelsPerInch(120);
  Create();
  EXPECT_EQ(form->Width(), 741);
  EXPECT_EQ(form->Height(), 218);
  EXPECT_EQ(form->Caption(), "Quorvaltine v1.0");
  EXPECT_TRUE(form->Timer1->Enabled());
  EXPECT_FALSE(form->Timer2->Enabled());
  EXPECT_FALSE(form->Timer3->Enabled());
  EXPECT_EQ(form->Timer1->Interval(), 1000);
  EXPECT_EQ(form->ResetPanel->Color(), clGreen);
  EXPECT_EQ(form->statusLabel->Color(), clWhite);
  EXPECT_EQ(form->ProgressBar->Position(), 0);
  EXPECT_STREQ(form->PortName(), "COM1");
  EXPECT_EQ(form->ComboBox->Parent(), form->GroupBox4);
  EXPECT_EQ(form->ResetPanel->Font().Name, "Arial");
  EXPECT_TRUE(form->ResetPanel->Font().Bold);
}

TEST_F(MainFormTest, ControlGroupSwitchesTogether) {
  Create();
  TControl* group[] = {form->ResetPanel, form->ProgressBar, form->SuchenButton, form->ComboBox};
  for (bool on : {false, true}) {
    form->SetControlsEnabled(on);
    for (TControl* c : group) EXPECT_EQ(c->Enabled(), on) << c->Name();
    EXPECT_TRUE(form->GroupBox3->Enabled());
  }
}

TEST_F(MainFormTest, ErrorBoxBeepsFirstInformationBoxDoesNot) {
  Create();
  form->ShowErrorMessage("Zeile 1\n\n   Zeile 2 \\ Ende");
  form->ShowInfoMessage("Patch erfolgreich beendet!");
  EXPECT_EQ(out.str(),
            "beep\n"
            "box Fehler: Zeile 1\\n\\n   Zeile 2 \\\\ Ende\n"
            "box Information: Patch erfolgreich beendet!\n");
  EXPECT_EQ(sim.Beeps(), 1);
}

TEST_F(MainFormTest, PortNameCopyIsBounded) {
  Create();
  form->SetPortName(std::string(500, 'X'));
  EXPECT_EQ(std::string(form->PortName()), std::string(kPortNameSize - 1, 'X'));
}

}  // namespace
