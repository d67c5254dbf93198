// The folder picker's answer in the form its callers rely on.
#include "platform/qt/shell_dialogs.h"

#include <QDir>

#include <gtest/gtest.h>

namespace quillmark::platform {
namespace {

QString native(const char* path) { return QDir::toNativeSeparators(QString::fromLatin1(path)); }

TEST(BrowseForFolder, ChosenFolderHasNoTrailingSeparatorExceptAtARoot)
{
    EXPECT_EQ(normaliseChosenFolder(QString()), QString());
    EXPECT_EQ(normaliseChosenFolder("/home/me/Mail/"), native("/home/me/Mail"));
    EXPECT_EQ(normaliseChosenFolder("/home/me/Mail//"), native("/home/me/Mail"));
    EXPECT_EQ(normaliseChosenFolder("/home/me/Mail"), native("/home/me/Mail"));
    EXPECT_EQ(normaliseChosenFolder("/"), native("/"));
    EXPECT_EQ(normaliseChosenFolder("C:/"), native("C:/"));
    EXPECT_EQ(normaliseChosenFolder("C:/Out/"), native("C:/Out"));
}

}  // namespace
}  // namespace quillmark::platform
