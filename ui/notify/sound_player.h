// SoundPlayer: plays a notification sound asynchronously with QSoundEffect. A bare file name
// is looked up in the data folder, then beside the program; no file, or no audio device,
// plays nothing.
#pragma once

#include <QObject>
#include <string>

class QSoundEffect;

namespace zul {

class SoundPlayer : public QObject {
  public:
    explicit SoundPlayer(QObject* parent = nullptr);

    // Any thread: starts the sound on the player's own thread and returns at once.
    void Play(const std::u16string& name);

    // The file a sound name stands for, or "" when there is none. A name holding a folder
    // is taken as the path it names.
    static std::string FindSoundFile(const std::u16string& name);

  private:
    QSoundEffect* effect_ = nullptr;  // made on the first sound
};

}  // namespace zul
