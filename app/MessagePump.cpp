#include "app/MessagePump.h"

#include <QCoreApplication>

#include "core/MainThread.h"

namespace app {

void InstallMessagePump() {
  core::SetMessagePump([] {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    core::MainThread::CheckSynchronize();
  });
  core::MainThread::SetWakeHook([] {
    if (QCoreApplication* application = QCoreApplication::instance())
      QMetaObject::invokeMethod(
          application, [] { core::MainThread::CheckSynchronize(); }, Qt::QueuedConnection);
  });
}

void RemoveMessagePump() {
  core::MainThread::SetWakeHook(nullptr);
  core::SetMessagePump(nullptr);
}

}  // namespace app
