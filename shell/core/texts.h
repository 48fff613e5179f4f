// The program's own texts, in one place. Each is UTF-8 and converted where it is shown. The
// dialog templates' captions, which the Windows resource script holds too, come from
// shell/core/captions.h, which both read.
#pragma once

#include "shell/core/captions.h"

namespace quillmark::shell::texts {

inline constexpr char kMainTitle[] = QM_CAPTION_MAIN_TITLE;
inline constexpr char kOk[] = QM_CAPTION_OK;
inline constexpr char kCancel[] = QM_CAPTION_CANCEL;
inline constexpr char kPayButton[] = QM_CAPTION_PAY_BUTTON;

// String 101 of the string table: the system menu's About entry. Left empty, the menu
// gets neither the entry nor the separator before it.
inline constexpr char kAboutBoxEntry[] = QM_CAPTION_ABOUT_ENTRY;

// The settings dialog, and its entry on the window menu beside the About entry. Its access
// key is one that Windows' own entries of that menu (Restore, Move, Size, Minimize,
// Maximize, Close) and the About entry leave free: with S, the key went to Size first.
inline constexpr char kSettingsEntry[] = "设置(&O)...";
inline constexpr char kSettingsTitle[] = QM_CAPTION_SETTINGS_TITLE;
inline constexpr char kSave[] = QM_CAPTION_SAVE;
inline constexpr char kSettingsFile[] = "设置文件：%1";
inline constexpr char kSettingOverridden[] = "环境变量 %1 优先于此值";
// The profile chooser: its label, [merchant] and a profile's entry, and the note under a
// profile's value that is [merchant]'s.
inline constexpr char kProfileLabel[] = "配置";
inline constexpr char kProfileMerchant[] = "[merchant]（默认）";
inline constexpr char kProfileChoice[] = "[profile %1]";
inline constexpr char kSettingInherited[] = "沿用 [merchant] 的值";

// The popup that stands in for the system menu where the window manager's cannot be
// extended; worded and accelerated as Windows words its own entry.
inline constexpr char kCloseEntry[] = "关闭(&C)\tAlt+F4";

inline constexpr char kAboutTitle[] = QM_CAPTION_ABOUT_TITLE;
inline constexpr char kAboutVersion[] = QM_CAPTION_ABOUT_VERSION;
inline constexpr char kAboutCopyright[] = QM_CAPTION_ABOUT_COPYRIGHT;

// The panel that shows the last cycle. "%1" and "%2" are filled in where they are shown.
inline constexpr char kQueryAgain[] = "再次查询";
inline constexpr char kCloseOrder[] = "关闭订单";
inline constexpr char kRefund[] = "申请退款";
inline constexpr char kAbort[] = "中止";
inline constexpr char kOrderNoLabel[] = "订单号";
inline constexpr char kPaymentLinkLabel[] = "支付链接";
inline constexpr char kStepUnifiedOrder[] = "统一下单";
inline constexpr char kStepQuery1[] = "查询 1";
inline constexpr char kStepQuery2[] = "查询 2";
inline constexpr char kStepQueryAgain[] = "再次查询";
inline constexpr char kStepCloseOrder[] = "关闭订单";
inline constexpr char kStepRefund[] = "申请退款";
inline constexpr char kScenarioLabel[] = "场景";
// A row that holds several steps of a run names each after the first: "查询 3：…".
inline constexpr char kRunStepPiece[] = "%1：%2";
inline constexpr char kFirstOrder[] = "首次下单";
inline constexpr char kOrderSentAgain[] = "同一订单号重发";
inline constexpr char kScenarioNotPlayed[] = "平台未按场景“%1”应答";
inline constexpr char kRefundStatus[] = "退款状态 %1";
inline constexpr char kRefundStatusNotTrusted[] = "应答未通过验证，不采用其退款状态";
inline constexpr char kNoRefundStatus[] = "应答中没有退款状态（refund_status_0）";
inline constexpr char kOrderClosed[] = "订单已关闭";
inline constexpr char kCloseNotTrusted[] = "应答未通过验证，不能确认订单已关闭";
inline constexpr char kCloseNotConfirmed[] = "应答未确认订单已关闭";
inline constexpr char kRefunded[] = "已退款，退款单号 %1";
inline constexpr char kRefundNotTrusted[] = "应答未通过验证，不能确认已退款";
inline constexpr char kRefundNotConfirmed[] = "应答未确认已退款";
inline constexpr char kRefundNotSent[] = "未发送退款：%1";
// The amount beside 申请退款, in yuan: its unit after it, a cue inside it while it is
// empty, and why a text typed there is refused (%1 the text, %2 the bound it passed).
inline constexpr char kRefundAmountUnit[] = "元";
inline constexpr char kRefundAmountCue[] = "全部";
inline constexpr char kRefundAmountTip[] =
    "退款金额，以元计，至多两位小数；留空则退还订单的全部余额";
inline constexpr char kRefundAmountNotAmount[] =
    "退款金额“%1”不是金额：请填以元计、至多两位小数的正数，或留空退还全部余额，未发送";
inline constexpr char kRefundAmountZero[] = "退款金额“%1”为零：留空即退还全部余额，未发送";
inline constexpr char kRefundAmountOverOrder[] = "退款金额“%1”超过订单金额 %2 元，未发送";
inline constexpr char kRefundAmountOverLimit[] = "退款金额“%1”超过单笔上限 %2 元，未发送";
// The trade type of the cycle's orders, and what the rows say of an order not NATIVE: its
// QR code is not made, its link or page parameters show in the link's row.
inline constexpr char kTradeTypeLabel[] = "支付方式";
inline constexpr char kNoQrForType[] = "未生成：%1 订单没有二维码";
inline constexpr char kPagePassed[] = "页面参数已由沙箱验证通过";
inline constexpr char kPageRefused[] = "页面参数被沙箱拒绝（%1）：%2";
inline constexpr char kPageNoVerdict[] = "页面参数未得到沙箱的判定：%1";
inline constexpr char kPageSignString[] = "沙箱的签名串：%1\n沙箱算出的 paySign：%2";
// The till's row: the code and amount typed, the button, and the run's steps and end.
inline constexpr char kAuthCodeLabel[] = "付款码";
inline constexpr char kAuthCodeCue[] = "18 位付款码";
inline constexpr char kAuthCodeTip[] =
    "付款人手机上显示的付款码：18 位数字，以 10 至 15 开头，可扫入或粘贴";
inline constexpr char kTillAmountCue[] = "金额（元）";
inline constexpr char kTillAmountTip[] = "付款码支付的金额，以元计，至多两位小数；留空则为默认金额";
inline constexpr char kTillButton[] = "付款码支付";
inline constexpr char kAuthCodeEmpty[] = "请先填入付款码，未发送";
inline constexpr char kAuthCodeNotCode[] =
    "付款码“%1”不是付款码：应为 18 位数字，以 10 至 15 开头，未发送";
inline constexpr char kTillAmountNotAmount[] =
    "金额“%1”不是金额：请填以元计、至多两位小数的正数，或留空用默认金额，未发送";
inline constexpr char kTillAmountZero[] = "金额“%1”为零，未发送";
inline constexpr char kTillAmountOverLimit[] = "金额“%1”超过单笔上限 %2 元，未发送";
inline constexpr char kTillStepLogLine[] = "付款码支付 %1：%2（%3）";
inline constexpr char kTillPaid[] = "已支付";
inline constexpr char kTillReversed[] = "已撤销，未扣款";
inline constexpr char kTillRefused[] = "被拒绝";
inline constexpr char kTillUnknown[] = "结果未知";
inline constexpr char kTillEnd[] = "结果：%1（%2）";
// A till's payment is known from its replies and queries; no notification is awaited.
inline constexpr char kTillNotNotified[] = "付款码支付以应答和查询为准，不等待支付通知";
inline constexpr char kBitmapLabel[] = "二维码文件";
inline constexpr char kNotificationLabel[] = "支付通知";
inline constexpr char kNotifyListening[] = "正在 %1 监听支付通知";
inline constexpr char kNotifyWaiting[] = "等待本订单的支付通知（%1）";
inline constexpr char kNotifyNotListening[] = "未监听支付通知：%1";
inline constexpr char kNotifyAccepted[] =
    "%1 收到：%2，%3 分，交易号 %4，支付时间 %5；签名已验证，已应答 SUCCESS";
inline constexpr char kNotifyRepeat[] =
    "%1 又收到同一通知（交易号 %2）：已再次应答 SUCCESS，未重复处理";
inline constexpr char kNotifyRefused[] = "%1 收到并拒绝（已应答 FAIL）：%2";
inline constexpr char kNotifyLogLine[] = "支付通知 %1：%2";
// Why a notification was refused.
inline constexpr char kNotifyTooLarge[] = "通知过大";
inline constexpr char kNotifyUnreadable[] = "通知无法解析";
inline constexpr char kNotifyOtherMerchant[] = "不是本商户的通知（appid 或 mch_id 不符）";
inline constexpr char kNotifyNotPaid[] = "不是支付成功的通知";
inline constexpr char kNotifyUnknownOrder[] = "不是本程序下的订单";
inline constexpr char kNotifyNoPayment[] = "通知中没有交易号";
// A refund notification: no sign, its req_info decrypted with the merchant's key.
inline constexpr char kRefundNotifyAccepted[] =
    "%1 收到退款通知：%2，退款 %3 分，平台退款单号 %4，商户退款单号 %5%6；req_info 已解密，已应答 "
    "SUCCESS";
inline constexpr char kRefundNotifySuccessTime[] = "，退款成功时间 %1";
inline constexpr char kRefundNotifyRepeat[] =
    "%1 又收到同一退款通知（商户退款单号 %2）：已再次应答 SUCCESS，未重复处理";
inline constexpr char kRefundNotifyRefused[] = "%1 收到退款通知并拒绝（已应答 FAIL）：%2";
inline constexpr char kRefundNotifyLogLine[] = "退款通知 %1：%2";
inline constexpr char kRefundSuccessWords[] = "退款成功";
inline constexpr char kRefundChangeWords[] = "退款异常";
inline constexpr char kRefundClosedWords[] = "退款关闭";
// Why a refund notification was refused.
inline constexpr char kRefundFailWithoutInfo[] = "return_code 不是 SUCCESS，没有可处理的退款";
inline constexpr char kRefundNoReqInfo[] = "缺少 req_info";
inline constexpr char kRefundNotBase64[] = "req_info 不是 base64";
inline constexpr char kRefundBadLength[] = "req_info 不是完整的 AES 分组，无法解密";
inline constexpr char kRefundBadPadding[] = "req_info 解密后填充不对：密钥不对，或内容被改动";
inline constexpr char kRefundNotRoot[] = "req_info 解密后不是 <root> 文档";
inline constexpr char kRefundUnknown[] = "既不是本程序申请的退款，也不是本程序下的订单";
inline constexpr char kRefundBadStatus[] = "退款状态无法识别";
inline constexpr char kRefundNoRefund[] = "req_info 中没有退款单号";
inline constexpr char kOpenFolder[] = "打开所在文件夹";
inline constexpr char kLogLabel[] = "日志";
inline constexpr char kCopyAll[] = "全部复制";
inline constexpr char kClearLog[] = "清空";
inline constexpr char kLineCut[] = "…（另有 %1 个字符未显示，全部复制可得全文）";
inline constexpr char kRunningStep[] = "正在%1…";
inline constexpr char kNotRun[] = "未执行";
inline constexpr char kAborted[] = "已中止";
inline constexpr char kTransportFailed[] = "通信失败：%1（RetCode %2）";
inline constexpr char kHttpStatus[] = "HTTP 状态 %1";
inline constexpr char kStepSucceeded[] = "成功";
inline constexpr char kNoCodeUrl[] = "应答中没有支付链接（code_url）";
inline constexpr char kNoTradeState[] = "应答中没有交易状态（trade_state）";
inline constexpr char kSignatureVerified[] = "签名已验证";
inline constexpr char kSignatureMismatch[] = "签名不符：应为 %1";
inline constexpr char kSignatureUnsigned[] = "未签名";
inline constexpr char kSignatureUnreadable[] = "应答无法解析";
inline constexpr char kSignatureMissing[] = "成功应答没有签名";
inline constexpr char kSignatureAmbiguous[] = "应答的 %1 与已签名的内容不符";
inline constexpr char kSignatureMisdirected[] = "应答针对的是另一请求：其 %1 为 %2，本请求的为 %3";
inline constexpr char kCodeNotShown[] = "应答未通过验证，不显示其支付链接和二维码";
inline constexpr char kTradeStateNotTrusted[] = "应答未通过验证，不采用其交易状态";
inline constexpr char kSignatureSignString[] = "应答的签名串（密钥已隐去）：%1";
inline constexpr char kBitmapWritten[] = "已写入 %1";
inline constexpr char kBitmapNotEncoded[] = "未写入：支付链接无法编码为二维码";
inline constexpr char kBitmapOutOfMemory[] = "未写入：内存不足（%1）";
inline constexpr char kBitmapCannotOpen[] = "未写入：无法打开文件 %1";
inline constexpr char kBitmapCannotWrite[] = "未写入：无法写入文件 %1";

// The name under which the application's settings would be kept. Nothing is read or
// written; it is set so that any later use of QSettings lands in the same place.
inline constexpr char kSettingsName[] = "应用程序向导生成的本地应用程序";

}  // namespace quillmark::shell::texts
