#include "app/CommandLine.h"

TCommandLine ParseCommandLine(const QStringList& arguments)
{
    TCommandLine result;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        // "--name value" and "--name=value" alike.
        auto value = [&](const QString& name, QString& out) {
            if (arg == name) {
                if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty()) {
                    result.Error = name + QStringLiteral(" needs a value");
                    return true;
                }
                out = arguments[++i];
                return true;
            }
            if (arg.startsWith(name + u'=')) {
                out = arg.mid(name.size() + 1);
                if (out.isEmpty())
                    result.Error = name + QStringLiteral(" needs a value");
                return true;
            }
            return false;
        };
        QString text;
        if (value(QStringLiteral("--virtual-drive"), text)) {
            if (!text.isEmpty())
                result.VirtualDrives.push_back(text.toStdString());
        } else if (value(QStringLiteral("--virtual-stick"), text)) {
            if (!text.isEmpty())
                result.VirtualSticks.push_back(text.toStdString());
        } else if (value(QStringLiteral("--screenshot"), text)) {
            result.ScreenshotDir = text;
        } else if (arg == QStringLiteral("--help") || arg == QStringLiteral("-h")) {
            result.Help = true;
        } else if (!arg.startsWith(u'-') && !arg.isEmpty() && result.Image.isEmpty()) {
            result.Image = arg;
        } else if (!arg.startsWith(u'-') && !arg.isEmpty()) {
            result.Error = QStringLiteral("one image at a time: ") + arg;
        } else {
            result.Error = QStringLiteral("unknown argument: ") + arg;
        }
        if (!result.Error.isEmpty())
            break;
    }
    return result;
}

QString UsageText()
{
    return QStringLiteral(
        "Usage: keelvane [--virtual-drive PATH[,OPTIONS]]... [--virtual-stick PATH[,size=N]]...\n"
        "                [--screenshot DIR] [IMAGE]\n"
        "Burns IMAGE (an .iso or .img file), else the image chosen last, else the rescue image\n"
        "(Keelvane.iso, else KeelvaneDemo.iso) onto a disc. The rescue image is looked for beside\n"
        "the program, then in ../share/keelvane/ from the program's folder, then in\n"
        "$XDG_DATA_HOME/keelvane/ (default ~/.local/share/keelvane/); the first found is burnt.\n"
        "\n"
        "  --virtual-drive PATH[,OPTIONS]  attach a file-backed virtual writer whose disc is kept at\n"
        "                                  PATH (a CUE sheet); options: media=cd-rom|cd-r|cd-rw|dvd-rom|\n"
        "                                  dvd-r|dvd-rw|dvd-rw-ro|dvd+r|dvd+r-dl|dvd+rw|bd-rom|bd-r|bd-re|\n"
        "                                  none, unformatted, speed=N, capacity=BLOCKS, fail-write-at=LBA,\n"
        "                                  stuck-buffer, no-rbc, no-config, no-test-write, not-ready=K,\n"
        "                                  busy-ms=N, slow-disc-ms=N;\n"
        "                                  repeatable\n"
        "  --virtual-stick PATH[,size=N]   a file presented as a USB stick of N bytes (suffix K, M\n"
        "                                  or G; default 1G), listed after the writers; repeatable\n"
        "  --screenshot DIR                save pictures of the windows in DIR and quit\n"
        "  --help                          show this text\n"
        "  --version                       show the program's version\n");
}
