#include "ResultFile.h"

#include <QSaveFile>

namespace zb {

bool WriteResultFile(const QString& path, const std::string& text) {
    QSaveFile file(path);
    // The in-place fallback applies only when the temporary file is refused for
    // lack of permission (a read-only folder with a writable file in it).
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) return false;
    const auto size = static_cast<qint64>(text.size());
    if (file.write(text.data(), size) != size) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

}  // namespace zb
