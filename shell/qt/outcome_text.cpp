#include "shell/qt/outcome_text.h"

#include "shell/core/outcome_words.h"

namespace quillmark::shell {
namespace {

QString Q(const std::string& utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

}  // namespace

QString FromGbk(const std::string& gbk) { return Q(words::FromGbk(gbk)); }
QString StepName(CycleStep step) { return Q(words::StepName(step)); }
QString FailureOf(const StepOutcome& outcome) { return Q(words::FailureOf(outcome)); }
QString SignatureVerdictText(const StepOutcome& outcome) {
  return Q(words::SignatureVerdictText(outcome));
}
QString SignatureDetail(const StepOutcome& outcome) { return Q(words::SignatureDetail(outcome)); }
QString OrderVerdict(const StepOutcome& order) { return Q(words::OrderVerdict(order)); }
QString QueryVerdict(const StepOutcome& query) { return Q(words::QueryVerdict(query)); }
QString CloseVerdict(const StepOutcome& close) { return Q(words::CloseVerdict(close)); }
QString BitmapVerdict(const CycleResult& result) { return Q(words::BitmapVerdict(result)); }

}  // namespace quillmark::shell
