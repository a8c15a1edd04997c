#include "ui/notify/sound_player.h"

#include <QSoundEffect>
#include <QUrl>

#include "platform/paths.h"
#include "platform/text.h"

namespace zul {

SoundPlayer::SoundPlayer(QObject* parent) : QObject(parent) {}

std::string SoundPlayer::FindSoundFile(const std::u16string& name) {
    if (name.empty()) return {};
    const std::string file = ToUtf8(name);
    if (file.find('/') != std::string::npos) return FileExists(file) ? file : std::string();
    for (const std::string& folder : {DataFolder(), ProgramFolder()}) {
        const std::string path = folder + file;
        if (FileExists(path)) return path;
    }
    return {};
}

void SoundPlayer::Play(const std::u16string& name) {
    const std::string path = FindSoundFile(name);
    if (path.empty()) return;
    const QUrl url = QUrl::fromLocalFile(QString::fromStdString(path));
    QMetaObject::invokeMethod(
        this,
        [this, url] {
            if (effect_ == nullptr) effect_ = new QSoundEffect(this);
            if (effect_->source() != url) effect_->setSource(url);
            effect_->play();
        },
        Qt::QueuedConnection);
}

}  // namespace zul
