#include <gtest/gtest.h>

#include <QSettings>
#include <QTest>

#include "crash/ui/CDAssistantForm.h"
#include "crash/ui/CDContactForm.h"
#include "crash/ui/CDDetailsForm.h"
#include "crash/ui/CDScrShotForm.h"
#include "tests/crash/FakeCDException.h"
#include "tests/support/QtApp.h"
#include "tests/support/TempDir.h"

namespace {

TEST(EmailAddress, OnlyPlainAddressesPass) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"ann@example.com", true},       {"a.b+c_d-e@mail.example.org", true}, {"x@y.z", true},
      {"ann@example", false},          {"@example.com", false},              {"ann@.example.com", false},
      {".ann@example.com", false},     {"ann@example.com.", false},          {" ann@example.com", false},
      {"ann@example.com ", false},     {"ann@@example.com", false},          {"a@b@example.com", false},
      {"ann example@x.com", false},    {"ann!@example.com", false},          {"", false},
      {"ann.example.com", false},      {"a.nn@example", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidEmailAddress(c.text), c.valid) << c.text;
}

class Assistant : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, ToQString(dir.Path().string()));
  }
  QSettings Remembered() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kestro", "ContactForm");
  }
  TempDir dir;
  TFakeCDException e;
};

TEST_F(Assistant, TheContactPageContinuesOnlyWithAValidAddress) {
  TCDAssistantForm form({"SendAssistant", "Send Assistant", {"ContactForm", "DetailsForm"}}, "");
  EXPECT_EQ(form.windowTitle().toStdString(), "Send Assistant");
  EXPECT_EQ(form.Heading()->text().toStdString(), "Contact Information");
  EXPECT_FALSE(form.SkipButton()->isEnabled());
  auto* page = dynamic_cast<TCDContactForm*>(form.CurrentPage());
  ASSERT_NE(page, nullptr);
  EXPECT_FALSE(form.ContinueButton()->isEnabled());
  QTest::keyClicks(page->EmailEdit, "ann@example");
  EXPECT_FALSE(form.ContinueButton()->isEnabled());
  EXPECT_TRUE(page->EmailEdit->property("invalid").toBool());
  QTest::keyClicks(page->EmailEdit, ".com");
  EXPECT_TRUE(form.ContinueButton()->isEnabled());
  EXPECT_FALSE(page->EmailEdit->property("invalid").toBool());

  QTest::mouseClick(form.ContinueButton(), Qt::LeftButton);
  EXPECT_EQ(form.Heading()->text().toStdString(), "Error Details");
  EXPECT_TRUE(form.SkipButton()->isEnabled());
  EXPECT_FALSE(form.ContinueButton()->isEnabled());
  auto* details = dynamic_cast<TCDDetailsForm*>(form.CurrentPage());
  ASSERT_NE(details, nullptr);
  QTest::keyClicks(details->DetailsMemo, "clicked");
  EXPECT_TRUE(form.ContinueButton()->isEnabled());
}

TEST_F(Assistant, RememberedValuesFillThePageAndAreForgottenWhenUnchecked) {
  {
    QSettings s = Remembered();
    s.setValue("RememberEmail", "old@example.com");
  }
  TCDContactForm page;
  EXPECT_EQ(page.EmailEdit->text().toStdString(), "old@example.com");
  EXPECT_EQ(page.NameEdit->text().toStdString(), "");
  EXPECT_TRUE(page.MemCheck->isChecked());

  page.NameEdit->setText("Ann");
  TCDAssistantOutput out;
  page.Leave(out);
  EXPECT_EQ(Remembered().value("RememberName").toString().toStdString(), "Ann");
  EXPECT_EQ(out.Sender, "Ann <old@example.com>");

  page.MemCheck->setChecked(false);
  page.Leave(out);
  EXPECT_FALSE(Remembered().contains("RememberName"));
  EXPECT_FALSE(Remembered().contains("RememberEmail"));
  TCDContactForm fresh;
  EXPECT_FALSE(fresh.MemCheck->isChecked());
  EXPECT_TRUE(fresh.EmailEdit->text().isEmpty());
}

TEST_F(Assistant, WhatThePagesCollectGoesIntoTheReportAndTheSender) {
  ModalDriver driver([](QWidget* modal) {
    auto* form = dynamic_cast<TCDAssistantForm*>(modal);
    ASSERT_NE(form, nullptr);
    auto* contact = dynamic_cast<TCDContactForm*>(form->CurrentPage());
    ASSERT_NE(contact, nullptr);
    QTest::keyClicks(contact->NameEdit, "Ann Lee");
    QTest::keyClicks(contact->EmailEdit, "ann@example.com");
    QTest::mouseClick(form->ContinueButton(), Qt::LeftButton);
    auto* details = dynamic_cast<TCDDetailsForm*>(form->CurrentPage());
    ASSERT_NE(details, nullptr);
    QTest::keyClicks(details->DetailsMemo, "pressed the button");
    QTest::mouseClick(form->ContinueButton(), Qt::LeftButton);
  });
  std::string shot;
  EXPECT_TRUE(RunCDAssistant(e, "saveassistant", shot));
  EXPECT_EQ(e.Report().Header.Get("contact name"), "Ann Lee");
  EXPECT_EQ(e.Report().Header.Get("contact email"), "ann@example.com");
  EXPECT_EQ(e.Report().Sections.Get("error details"), "pressed the button");
  EXPECT_EQ(e.Settings().GetMailFrom(), "Ann Lee <ann@example.com>");
  EXPECT_FALSE(driver.leftOpen());
}

TEST_F(Assistant, CancelLeavesTheReportAsItWas) {
  ModalDriver driver([](QWidget* modal) {
    auto* form = dynamic_cast<TCDAssistantForm*>(modal);
    ASSERT_NE(form, nullptr);
    QTest::keyClicks(static_cast<TCDContactForm*>(form->CurrentPage())->EmailEdit, "ann@example.com");
    QTest::mouseClick(form->ContinueButton(), Qt::LeftButton);
    QTest::mouseClick(form->CancelButton(), Qt::LeftButton);
  });
  std::string shot;
  EXPECT_FALSE(RunCDAssistant(e, "SaveAssistant", shot));
  EXPECT_EQ(e.Report().Header.Count(), 0u);
  EXPECT_TRUE(RunCDAssistant(e, "NoSuchAssistant", shot));
}

TEST_F(Assistant, TheScreenshotPageComesOnlyWithAScreenshotAndCanDropIt) {
  TCDAssistant send = {"SendAssistant", "Send Assistant", {"ScrShotForm", "DetailsForm"}};
  EXPECT_EQ(TCDAssistantForm(send, "").PageCount(), 1);
  EXPECT_EQ(TCDAssistantForm(send, dir.File("missing.png")).PageCount(), 1);
  QImage(8, 8, QImage::Format_RGB32).save(ToQString(dir.File("shot.png")));
  TCDAssistantForm form(send, dir.File("shot.png"));
  ASSERT_EQ(form.PageCount(), 2);
  EXPECT_EQ(form.Heading()->text().toStdString(), "Screenshot Configuration");
  EXPECT_FALSE(form.SkipButton()->isEnabled());
  auto* page = dynamic_cast<TCDScrShotForm*>(form.CurrentPage());
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(page->AttachCheck->isChecked());
  EXPECT_FALSE(page->Image->pixmap().isNull());
  page->AttachCheck->setChecked(false);
  QTest::mouseClick(form.ContinueButton(), Qt::LeftButton);
  QTest::mouseClick(form.SkipButton(), Qt::LeftButton);
  EXPECT_EQ(form.result(), QDialog::Accepted);
  EXPECT_TRUE(form.Output().DropScreenShot);
  EXPECT_TRUE(form.Output().Sections.empty());
}

}  // namespace
