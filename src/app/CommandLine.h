// The program's own arguments (Qt's are taken out by QApplication first).
#pragma once

#include <string>
#include <vector>

#include <QString>
#include <QStringList>

struct TCommandLine {
    // --virtual-drive PATH[,OPTIONS], repeatable: virtual writers attached before the scan.
    std::vector<std::string> VirtualDrives;
    // --virtual-stick PATH[,size=N], repeatable: files presented as USB sticks.
    std::vector<std::string> VirtualSticks;
    // --screenshot DIR: save pictures of both windows there and quit.
    QString ScreenshotDir;
    // IMAGE: the disc image to burn instead of the rescue image (a file manager's "Open with").
    QString Image;
    bool Help = false;
    // Empty when the arguments were understood.
    QString Error;
};

// Arguments without the program name.
TCommandLine ParseCommandLine(const QStringList& arguments);
QString UsageText();
