// The yardstick for how fast a dialog can appear: the least a Qt program needs to show a message box of the
// same size and content as the pairing-approval dialog. It deliberately does nothing else.
#include <QApplication>
#include <QMessageBox>
#include <QString>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QMessageBox box;
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(QStringLiteral("Pairing request"));
    box.setText(QStringLiteral("<b>Remember this browser?</b>"));
    box.setInformativeText(
        QStringLiteral("A browser extension is asking to pair with the companion on this computer.\n\n"
                       "Compare the code shown in the browser with the code shown here.\n\n"
                       "Approve only if both codes match and you started the pairing yourself.\n\n"
                       "A paired browser can be controlled by your MCP client until you remove it."));
    box.addButton(QStringLiteral("Reject"), QMessageBox::RejectRole);
    box.addButton(QStringLiteral("Codes match - approve"), QMessageBox::AcceptRole);
    return box.exec();
}
