#include "shell/qt/cycle_runner.h"

#include <QMetaObject>

#include <utility>

#include "shell/qt/outcome_text.h"

namespace quillmark::shell {

CycleRunner::CycleRunner(CQuillmarkOps ops, QObject* parent)
    : QObject(parent),
      worker_(
          std::move(ops),
          [this](std::function<void()> event) {
            // Queued to this object: run on its thread, after everything posted before,
            // and dropped if the object is destroyed first.
            QMetaObject::invokeMethod(this, std::move(event), Qt::QueuedConnection);
          },
          *this) {}

CycleRunner::~CycleRunner() { Shutdown(); }

bool CycleRunner::StartCycle() { return worker_.StartCycle(); }
bool CycleRunner::StartQuery(const std::string& orderNo) { return worker_.StartQuery(orderNo); }
bool CycleRunner::StartClose(const std::string& orderNo) { return worker_.StartClose(orderNo); }
void CycleRunner::UseMerchant(const MerchantSettings& merchant) { worker_.UseMerchant(merchant); }
void CycleRunner::Abort() { worker_.Abort(); }
void CycleRunner::Shutdown() { worker_.Shutdown(); }

void CycleRunner::OnLine(const std::string& gbk) { emit lineWritten(FromGbk(gbk)); }

}  // namespace quillmark::shell
