// The console's pages, drawn from its JSON API with DOM calls: every value the API gives is
// set as text (textContent, or an attribute the page names), never read as markup. The view
// follows the address (/console, /console/orders/NUMBER, /console/requests, /console/codes)
// and is drawn again every few seconds while the page is shown, in the language the API's
// about names (the one the request's Accept-Language chose): every word of the pages is in WORDS.
'use strict';
(function () {
  const SVG = 'http://www.w3.org/2000/svg';
  const ORDERS = '/console/orders/';
  const SCENARIOS = '/console/api/scenarios';

  // The pages' words, each as [English, Chinese], so that a word added in one language
  // cannot be missed in the other. Messages the API gives (an action's, an error's) are
  // shown as it words them.
  const PAIRS = {
    console: ['Quillmark sandbox console', 'Quillmark 沙箱控制台'],
    orders: ['Orders', '订单'],
    requests: ['Requests', '请求'],
    ordersNote: [
      n => 'The newest first, at most ' + n + '.',
      n => '最新的在前，至多 ' + n + ' 个。'],
    ordersHead: [
      ['Order', 'Amount', 'State', 'Placed', 'notify_url', 'Notification'],
      ['订单号', '金额', '状态', '下单时间', 'notify_url', '通知']],
    noOrders: ['No orders yet.', '还没有订单。'],
    bills: ['Bills', '对账单'],
    billsNote: [
      zone => 'The days a bill could be fetched for (POST /pay/downloadbill), platform time ' +
        zone + ': ready from 10:00 the next day.',
      zone => '可下载对账单的日期（POST /pay/downloadbill），平台时间 ' + zone +
        '：次日 10:00 起可下载。'],
    billsHead: [
      ['bill_date', 'Ready', 'Trades', 'Settlement total', 'Refund total', 'Fee total',
        'Order total'],
      ['bill_date', '可下载', '交易单数', '应结订单总金额', '退款总金额', '手续费总金额',
        '订单总金额']],
    noBills: ['No paid order yet, so no bill.', '还没有已支付的订单，没有对账单。'],
    moreBills: ['More days than fit on one page.', '日期多于一页能显示的。'],
    billReady: [b => b.ready ? 'yes' : b.too_old ? 'too old' : 'not yet',
      b => b.ready ? '是' : b.too_old ? '过期' : '尚未'],
    moreOrders: ['More orders than fit on one page.', '订单多于一页能显示的。'],
    footer: [
      about => 'State ' + (about.state.in_memory
        ? 'in memory (--state :memory:), kept until it stops'
        : 'in ' + about.state.path + ', ' + about.state.kib + ' KiB') + '. ' + about.orders +
        ' orders kept (at most ' + about.max_orders + ', each for ' + about.order_ttl_s +
        ' s); the journal keeps the last ' + about.journal_max + ' requests (' +
        about.journal_requests + ' now), bodies and replies cut at ' + about.kept_text_bytes +
        ' bytes. The page refreshes itself every ' + about.refresh_ms / 1000 +
        ' s. Times are UTC.',
      about => '状态' + (about.state.in_memory
        ? '保存在内存中（--state :memory:），停止即丢失'
        : '保存在 ' + about.state.path + '，' + about.state.kib + ' KiB') + '。保留 ' +
        about.orders + ' 个订单（至多 ' + about.max_orders + ' 个，每个 ' + about.order_ttl_s +
        ' 秒）；日志保留最近 ' + about.journal_max + ' 个请求（现有 ' + about.journal_requests +
        ' 个），请求与回复截至 ' + about.kept_text_bytes + ' 字节。页面每 ' +
        about.refresh_ms / 1000 + ' 秒刷新一次。时间均为 UTC。'],
    kept: [
      (kept, whole) => 'The first ' + kept + ' of ' + whole + ' bytes.',
      (kept, whole) => '共 ' + whole + ' 字节，这是前 ' + kept + ' 字节。'],
    payFromPhone: ['Pay from a phone', '用手机支付'],
    phoneOpen: ['On the phone, open ', '请先在手机上打开 '],
    phoneRest: [
      ' first (scan the code): it offers the sandbox\'s CA to install, once. The' +
        ' CA\'s SHA-256 fingerprint: ',
      '（扫描此码）：它会提供沙箱的 CA 供安装，只需一次。CA 的 SHA-256 指纹：'],
    signed: [
      type => 'The sandbox signed this sign string (the key masked) with ' + type + ':',
      type => '沙箱以 ' + type + ' 所签的待签名串（密钥已隐去）：'],
    expected: ['Expected sign ', '应为 '],
    received: [', received ', '，收到 '],
    requestAndReply: ['Request and reply', '请求与回复'],
    requestsHead: [['#', 'Time', 'Request', 'Operation'], ['#', '时间', '请求', '操作']],
    orderHead: ['Order', '订单号'],
    requestsTail: [['Verdict', 'Status', 'Outcome'], ['判定', '状态码', '结果']],
    noRequests: ['No requests.', '没有请求。'],
    moreRequests: ['More requests than fit on one page.', '请求多于一页能显示的。'],
    resend: ['resend', '重发'],
    yes: ['yes', '是'],
    no: ['no', '否'],
    once: ['1 time', '1 次'],
    times: [
      (n, last) => n + ' times, the last at ' + last,
      (n, last) => n + ' 次，最后一次在 ' + last],
    state: ['State', '状态'],
    amount: ['Amount', '金额'],
    description: ['Description', '商品描述'],
    notification: ['Notification', '通知'],
    scenario: ['Scenario', '测试场景'],
    tradeType: ['Trade type', '支付方式'],
    closedWhy: ['it is closed', '订单已关闭'],
    paidWhy: ['it is paid', '订单已支付'],
    notPaidWhy: ['it is not paid', '订单未支付'],
    notifyOff: ['notifications are off (--no-notify)', '通知已关闭（--no-notify）'],
    pay: ['Pay', '支付'],
    close: ['Close', '关闭订单'],
    notifyAgain: ['Send its notification again', '再次发送通知'],
    order: ['Order ', '订单 '],
    history: ['History', '历史'],
    historyHead: [['Time', 'Event', 'By, or what'], ['时间', '事件', '由谁或什么']],
    attempts: ['Notification attempts', '通知尝试'],
    attemptsHead: [
      kept => ['Attempt', 'Of', 'Time', 'URL', 'Status',
        'Answer (first ' + kept + ' bytes)', 'Took', 'Acknowledged'],
      kept => ['尝试', '通知', '时间', 'URL', '状态', '应答（前 ' + kept + ' 字节）',
        '用时', '已确认']],
    payment: ['payment', '支付'],
    refundOf: [n => 'refund ' + n, n => '退款 ' + n],
    refunds: ['Refunds', '退款'],
    noRefunds: ['No refunds.', '没有退款。'],
    refundsHead: [
      ['out_refund_no', 'refund_id', 'Amount', 'Status', 'success_time', 'Notification', ''],
      ['out_refund_no', 'refund_id', '金额', '状态', 'success_time', '通知', '']],
    decrypted: ['req_info decrypted', 'req_info 解密后'],
    encrypted: ['req_info (AES-256-ECB, base64)', 'req_info（AES-256-ECB，base64）'],
    notifyRefundAgain: ['Send its notification again', '再次发送通知'],
    notFinalWhy: ['it is still processing', '退款处理中'],
    noAttempts: ['No notification attempts.', '没有通知尝试。'],
    moreAttempts: ['More attempts than fit on one page.', '尝试多于一页能显示的。'],
    aboutIt: ['Requests about it', '关于它的请求'],
    aboutItNote: [
      n => 'The newest first, at most ' + n + ' of those the journal still keeps.',
      n => '最新的在前，至多 ' + n + ' 个（日志仍保留的）。'],
    any: ['any', '全部'],
    orderFilter: ['order ', '订单号 '],
    show: ['Show', '显示'],
    requestsNote: [
      n => 'The newest first, at most ' + n + '. Every request the sandbox' +
        ' answered is here, the refused ones too, but the console\'s own.',
      n => '最新的在前，至多 ' + n + ' 个。沙箱回答过的每个请求都在这里，' +
        '被拒绝的也在，控制台自己的除外。'],
    scenarios: ['Test scenarios', '测试场景'],
    scenariosNote: [
      'An order plays a scenario by its amount, or by one armed here: for the' +
        ' order number given, or for the next order placed when none is.',
      '订单按金额进入一个场景，或按这里设定的场景：给出订单号时只对该订单，' +
        '否则对下一个下单的订单。'],
    scenarioChoice: ['scenario ', '场景 '],
    forOrder: ['for order ', '订单号 '],
    nextOrder: ['the next order placed', '下一个订单'],
    arm: ['Arm', '设定'],
    armedHead: [['#', 'Scenario', 'For', 'Armed at', ''], ['#', '场景', '对象', '设定时间', '']],
    remove: ['Remove', '移除'],
    removeAll: ['Remove all', '全部移除'],
    noneArmed: ['No scenario is armed.', '没有设定的场景。'],
    moreArmed: [
      (shown, total, most) => 'The first ' + shown + ' of ' + total +
        ' armed (at most ' + most + ' at once).',
      (shown, total, most) => '共设定 ' + total + ' 个（同时至多 ' + most +
        ' 个），这是前 ' + shown + ' 个。'],
    tableHead: [['Scenario', 'Amount', 'What the sandbox does'], ['场景', '金额', '沙箱的行为']],
    clientCerts: ["The merchant's client certificate", '商户 API 证书'],
    clientCertsNote: [
      'The files the platform hands a merchant, issued by the sandbox\'s merchant CA: a' +
        ' client presents them to /secapi/ paths (the refund). The .p12\'s password is the' +
        ' merchant number; the PEM key is not encrypted.',
      '平台发给商户的文件，由沙箱的商户 CA 签发：客户端访问 /secapi/ 路径（退款）时出示。' +
        '.p12 的密码是商户号；PEM 私钥未加密。'],
    merchant: ['Merchant ', '商户号 '],
    clockMoved: [
      offset => 'The sandbox\'s clock is moved ' + offset + ' from this machine\'s' +
        ' (--clock-offset, or POST /console/api/clock): orders and codes are stamped and aged' +
        ' by it.',
      offset => '沙箱的时钟与本机相差 ' + offset + '（--clock-offset 或 POST /console/api/clock）：' +
        '订单与付款码按它计时。'],
    codes: ['Payment codes', '付款码'],
    codesNote: [
      s => 'Each code a payer page showed (/pay/code) or a till sent to micropay, the newest' +
        ' made first, and what became of it. A code is good for ' + s + ' s and pays once.',
      s => '付款码页（/pay/code）显示过的或收银台提交给 micropay 的每个付款码，最新生成的在前，' +
        '以及它的结果。付款码 ' + s + ' 秒内有效，只能支付一次。'],
    codesHead: [
      ['auth_code', 'Good until', 'Shown', 'Fate', 'micropay requests', 'Order', 'Reversals'],
      ['auth_code', '有效期至', '显示', '结果', 'micropay 请求', '订单', '撤销']],
    fate: [
      {used: 'used', expired: 'expired unused', valid: 'valid, unused'},
      {used: '已使用', expired: '过期未使用', valid: '有效，未使用'}],
    reuses: [n => n + ' refused as used already', n => n + ' 次因已使用被拒绝'],
    shownFrom: ['from the payer page of ', '来自订单付款页 '],
    notShown: ['not shown here (a till\'s own code)', '未在此显示（收银台自带的码）'],
    opened: ['opened directly', '直接打开'],
    reusedMark: [' (used already)', '（已使用）'],
    recall: ['recall ', 'recall '],
    noCodes: ['No payment code yet: open /pay/code.', '还没有付款码：请打开 /pay/code。'],
    moreCodes: ['More codes than fit on one page.', '付款码多于一页能显示的。'],
  };
  // One language's words (WORDS.en, WORDS.zh), taken from PAIRS by the language's place.
  const WORDS = Object.fromEntries(['en', 'zh'].map((language, i) => [language,
    Object.fromEntries(Object.entries(PAIRS).map(([key, pair]) => [key, pair[i]]))]));
  let words = WORDS.en;

  // An element with attributes and children; a child that is not a node becomes text.
  function el(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) {
      if (value === false || value === null || value === undefined) continue;
      node.setAttribute(name, value === true ? '' : String(value));
    }
    for (const child of children.flat(Infinity)) {
      if (child === null || child === undefined || child === false) continue;
      node.append(child instanceof Node ? child : String(child));
    }
    return node;
  }

  // "2026-01-31T12:34:56.789Z" as the pages show it: "2026-01-31 12:34:56".
  function shownTime(iso) {
    return iso ? iso.slice(0, 19).replace('T', ' ') : '';
  }

  function orderLink(number) {
    return el('a', {href: ORDERS + encodeURIComponent(number)}, number);
  }

  function stateBadge(state) {
    return el('span', {class: 'state s-' + state}, state);
  }

  function verdictBadge(verdict, about) {
    const good = about.filters.good_verdicts.includes(verdict);
    return el('span', {class: 'verdict ' + (good ? 'good' : 'bad')}, verdict);
  }

  function cell(content, cls) {
    return el('td', cls ? {class: cls} : {}, content);
  }

  // A table with its head, its rows, and a line for none and for more than fit.
  function table(id, headings, rows, noneText, moreText, cut) {
    return [
      el('table', {id}, el('thead', {}, el('tr', {}, headings.map(h => el('th', {}, h)))),
        el('tbody', {}, rows)),
      rows.length === 0 ? el('p', {class: 'empty'}, noneText) : null,
      cut ? el('p', {class: 'truncated'}, moreText) : null,
    ];
  }

  // Kept text, with a note when only its first `kept` bytes of `whole` were kept.
  function pre(text, whole, cut, kept) {
    return [el('pre', {}, text),
      cut ? el('p', {class: 'note'}, words.kept(kept, whole)) : null];
  }

  function footer(about) {
    return el('footer', {}, words.footer(about),
      about.clock_offset === '0' ? null : el('p', {class: 'message', id: 'clock'},
        words.clockMoved(about.clock_offset)));
  }

  function notificationText(notification) {
    let text = notification.state;
    if (text === 'due') {
      text += ' (attempt ' + notification.next_attempt + ' at ' + shownTime(notification.due_at) +
        ')';
    }
    return text;
  }

  // The QR code's modules as SVG, black on white within its quiet zone, one path for all.
  function qrSvg(qr) {
    const size = qr.width + 2 * qr.quiet_zone;
    const svg = document.createElementNS(SVG, 'svg');
    for (const [name, value] of [['class', 'qr'], ['viewBox', '0 0 ' + size + ' ' + size],
      ['width', size * 4], ['height', size * 4], ['shape-rendering', 'crispEdges']]) {
      svg.setAttribute(name, String(value));
    }
    const back = document.createElementNS(SVG, 'rect');
    back.setAttribute('width', '100%');
    back.setAttribute('height', '100%');
    back.setAttribute('fill', '#fff');
    let d = '';
    qr.rows.forEach((row, y) => {
      for (let x = 0; x < row.length; ++x) {
        if (row[x] === '1') d += 'M' + (x + qr.quiet_zone) + ' ' + (y + qr.quiet_zone) + 'h1v1h-1z';
      }
    });
    const path = document.createElementNS(SVG, 'path');
    path.setAttribute('fill', '#000');
    path.setAttribute('d', d);
    svg.append(back, path);
    return svg;
  }

  // In the LAN mode: the QR code of the page a phone opens first, with the CA's fingerprint.
  function phoneSection(phone) {
    if (!phone) return null;
    const link = /^https?:\/\//.test(phone.url) ? el('a', {href: phone.url}, phone.url) : phone.url;
    return el('section', {class: 'phone'}, el('h2', {}, words.payFromPhone),
      phone.qr ? qrSvg(phone.qr) : null,
      el('p', {}, words.phoneOpen, link, words.phoneRest, el('code', {}, phone.ca_fingerprint)));
  }

  function ordersView(about, data) {
    const rows = data.orders.map(order => el('tr', {},
      cell(orderLink(order.out_trade_no), 'order'), cell(order.amount, 'amount'),
      cell(stateBadge(order.state)), cell(shownTime(order.placed_at), 'time'),
      cell(order.notify_url, 'url'), cell(notificationText(order.notification))));
    return [phoneSection(about.phone), el('h1', {}, words.orders),
      el('p', {class: 'note'}, words.ordersNote(about.page_orders)),
      table('orders', words.ordersHead, rows, words.noOrders, words.moreOrders, data.truncated),
      scenariosSection(data.scenarios),
      clientCertsSection(about),
      billsSection(data.bills),
      footer(about)];
  }

  // Each merchant's three certificate files as downloads: plain links, so the browser sends
  // the console's cookie with them as it does with the page's API calls.
  function clientCertsSection(about) {
    const merchants = about.client_certs || [];
    if (merchants.length === 0) return null;
    const files = about.client_cert_files;
    return el('section', {id: 'client-certs'}, el('h2', {}, words.clientCerts),
      el('p', {class: 'note'}, words.clientCertsNote),
      el('ul', {class: 'downloads'}, merchants.map(mchId => el('li', {},
        words.merchant, el('code', {}, mchId), ' ',
        files.map(name => el('a', {class: 'download', download: name,
          href: '/console/api/client-cert/' + encodeURIComponent(mchId) + '/' +
            encodeURIComponent(name)}, name))))));
  }

  function billsSection(bills) {
    if (!bills) return null;
    const rows = bills.bills.map(bill => el('tr', {},
      cell(bill.bill_date, 'day'), cell(words.billReady(bill)), cell(String(bill.trades), 'amount'),
      cell(bill.settlement_total, 'amount'), cell(bill.refund_total, 'amount'),
      cell(bill.fee_total, 'amount'), cell(bill.order_total, 'amount')));
    return el('section', {class: 'bills'}, el('h2', {}, words.bills),
      el('p', {class: 'note'}, words.billsNote(bills.time_zone)),
      table('bills', words.billsHead, rows, words.noBills, words.moreBills, bills.truncated));
  }

  function signBlock(sign, type) {
    if (!sign) return null;
    return el('div', {class: 'sign'},
      el('p', {}, words.signed(type || 'MD5')),
      el('pre', {class: 'sign-string'}, sign.sign_string),
      el('p', {}, words.expected, el('code', {class: 'sign-expected'}, sign.expected),
        words.received, el('code', {class: 'sign-received'}, sign.received), '.'));
  }

  function requestRow(entry, withOrder, about) {
    const path = entry.path.length > 80 ? entry.path.slice(0, 80) + '...' : entry.path;
    const kept = about.kept_text_bytes;
    return el('tr', {class: 'request', 'data-verdict': entry.verdict},
      cell(entry.id), cell(shownTime(entry.at), 'time'), cell(entry.method + ' ' + path),
      cell([entry.operation, entry.sign_type
        ? [' ', el('span', {class: 'sign-type'}, entry.sign_type)] : null], 'operation'),
      withOrder ? cell(entry.out_trade_no ? orderLink(entry.out_trade_no) : '', 'order') : null,
      cell(verdictBadge(entry.verdict, about)), cell(entry.status),
      cell([entry.outcome, signBlock(entry.sign, entry.sign_type),
        el('details', {id: 'r' + entry.id}, el('summary', {}, words.requestAndReply),
          pre(entry.body, entry.body_bytes, entry.body_cut, kept),
          pre(entry.reply, entry.reply_bytes, entry.reply_cut, kept))], 'outcome'));
  }

  function requestsTable(entries, withOrder, about, cut) {
    const headings = words.requestsHead.concat(withOrder ? [words.orderHead] : [],
      words.requestsTail);
    return table('requests', headings, entries.map(e => requestRow(e, withOrder, about)),
      words.noRequests, words.moreRequests, cut);
  }

  function attemptRow(attempt, about) {
    const status = attempt.http_status === null ? attempt.error
      : 'HTTP ' + attempt.http_status + (attempt.error ? ', ' + attempt.error : '');
    return el('tr', {class: 'attempt'},
      cell(attempt.resend ? words.resend : attempt.attempt),
      cell(attempt.out_refund_no ? words.refundOf(attempt.out_refund_no) : words.payment),
      cell(shownTime(attempt.at), 'time'),
      cell(attempt.url, 'url'), cell(status),
      cell(pre(attempt.answer, attempt.answer_bytes, attempt.answer_cut, about.kept_answer_bytes)),
      cell(attempt.duration_ms + ' ms'),
      cell(el('span', {class: 'verdict ' + (attempt.acknowledged ? 'good' : 'bad')},
        attempt.acknowledged ? words.yes : words.no)));
  }

  function historyRow(event) {
    let detail = event.by || event.out_refund_no || '';
    if (event.event === 'queried') {
      detail = event.count === 1 ? words.once : words.times(event.count, shownTime(event.last_at));
    }
    return el('tr', {}, cell(shownTime(event.at), 'time'), cell(event.event), cell(detail));
  }

  // A button that posts to the order's action, carrying the form token; `whyNot` disables it.
  function actionButton(number, action, label, whyNot, about) {
    return el('form', {method: 'post', action: ORDERS + encodeURIComponent(number) + '/' + action},
      el('input', {type: 'hidden', name: 'form_token', value: about.form_token}),
      el('button', {type: 'submit', id: action, disabled: !!whyNot, title: whyNot || null}, label));
  }

  function orderFacts(order) {
    const facts = [[words.state, stateBadge(order.state), {id: 'state'}],
      [words.amount, order.amount, {id: 'amount'}], [words.description, order.description, {}],
      [words.scenario, order.scenario, {id: 'scenario'}],
      [words.tradeType, order.trade_type, {id: 'trade_type'}],
      ['prepay_id', order.prepay_id, {id: 'prepay_id'}],
      ['notify_url', order.notify_url, {class: 'url'}],
      [words.notification, notificationText(order.notification), {id: 'notification'}]];
    for (const name of ['transaction_id', 'time_end']) {
      if (name in order) facts.push([name, order[name], {}]);
    }
    if ('time_end_zone' in order) facts[facts.length - 1][0] += ' (' + order.time_end_zone + ')';
    return el('dl', {}, facts.map(([name, value, attributes]) =>
      [el('dt', {}, name), el('dd', attributes, value)]));
  }

  function orderActions(order, about) {
    const number = order.out_trade_no;
    const paid = 'transaction_id' in order;
    const settled = order.state === 'CLOSED' ? words.closedWhy : paid ? words.paidWhy : '';
    const notWhy = !about.notify ? words.notifyOff : !paid ? words.notPaidWhy : '';
    return el('div', {class: 'actions'}, actionButton(number, 'pay', words.pay, settled, about),
      actionButton(number, 'close', words.close, settled, about),
      actionButton(number, 'notify', words.notifyAgain, notWhy, about));
  }

  // A refund's row, then its notification's two forms beneath it, as text.
  function refundRows(number, refund, about) {
    const notification = refund.notification;
    const whyNot = !about.notify ? words.notifyOff : !('req_info' in notification)
      ? words.notFinalWhy : '';
    const button = el('form', {method: 'post', action: ORDERS + encodeURIComponent(number) +
        '/notify-refund'},
      el('input', {type: 'hidden', name: 'form_token', value: about.form_token}),
      el('input', {type: 'hidden', name: 'out_refund_no', value: refund.out_refund_no}),
      el('button', {type: 'submit', class: 'notify-refund', disabled: !!whyNot,
        title: whyNot || null}, words.notifyRefundAgain));
    const rows = [el('tr', {class: 'refund'}, cell(refund.out_refund_no), cell(refund.refund_id),
      cell(refund.amount), cell(refund.status), cell(refund.success_time),
      cell(notificationText(notification)), cell(button))];
    if ('req_info' in notification) {
      rows.push(el('tr', {class: 'refund-notification'}, el('td', {colspan: 7},
        el('p', {}, words.encrypted), el('pre', {class: 'req-info'}, notification.req_info),
        el('p', {}, words.decrypted), el('pre', {class: 'decrypted'}, notification.decrypted))));
    }
    return rows;
  }

  function orderView(about, data) {
    const order = data.order;
    return [el('h1', {}, words.order, el('span', {id: 'order-number'}, order.out_trade_no)),
      data.message ? el('p', {class: 'message', id: 'message'}, data.message) : null,
      orderFacts(order), orderActions(order, about),
      el('h2', {}, words.history),
      el('table', {id: 'history'}, el('thead', {}, el('tr', {},
        words.historyHead.map(h => el('th', {}, h)))),
        el('tbody', {}, order.history.map(historyRow))),
      el('h2', {}, words.refunds),
      table('refunds', words.refundsHead,
        order.refunds.flatMap(r => refundRows(order.out_trade_no, r, about)), words.noRefunds,
        '', false),
      el('h2', {}, words.attempts),
      table('attempts', words.attemptsHead(about.kept_answer_bytes),
        data.attempts.map(a => attemptRow(a, about)), words.noAttempts, words.moreAttempts,
        data.attempts_truncated),
      el('h2', {}, words.aboutIt),
      el('p', {class: 'note'}, words.aboutItNote(about.page_requests)),
      requestsTable(data.requests, false, about, data.requests_truncated),
      footer(about)];
  }

  // The console's answer to a scenario's form or remove button: the list drawn again, or
  // the error the API gave beside the form.
  async function sendScenario(method, address, body) {
    const reply = await fetch(address, {method, credentials: 'same-origin', cache: 'no-store',
      headers: body ? {'Content-Type': 'application/json'} : {},
      body: body ? JSON.stringify(body) : undefined});
    if (reply.ok) {
      if (document.activeElement) document.activeElement.blur();
      return draw(viewOfAddress(), true);
    }
    let message = 'the console answered ' + reply.status;
    try {
      message = (await reply.json()).error || message;
    } catch (error) {
      // No JSON: the status says it.
    }
    const shown = document.getElementById('scenario-error');
    if (shown) shown.textContent = message;
    return null;
  }

  function armForm(table) {
    const form = el('form', {id: 'arm', class: 'filter'},
      el('label', {}, words.scenarioChoice, el('select', {name: 'scenario', id: 'arm-scenario'},
        table.map(s => el('option', {value: s.name}, s.name + ' (' + s.amount + ')')))),
      el('label', {}, words.forOrder, el('input', {name: 'out_trade_no', id: 'arm-order',
        size: 24, maxlength: 32, placeholder: words.nextOrder})),
      el('button', {type: 'submit', id: 'arm-button'}, words.arm),
      el('span', {class: 'error', id: 'scenario-error'}));
    form.addEventListener('submit', event => {
      event.preventDefault();
      const body = {scenario: form.elements.scenario.value};
      const number = form.elements.out_trade_no.value.trim();
      if (number) body.out_trade_no = number;
      sendScenario('POST', SCENARIOS, body);
    });
    return form;
  }

  function armedRow(armed) {
    const remove = el('button', {type: 'button', class: 'remove'}, words.remove);
    remove.addEventListener('click',
      () => sendScenario('DELETE', SCENARIOS + '/' + encodeURIComponent(armed.id)));
    return el('tr', {class: 'armed'}, cell(armed.id), cell(armed.scenario, 'scenario'),
      cell(armed.out_trade_no === null ? words.nextOrder : orderLink(armed.out_trade_no), 'order'),
      cell(shownTime(armed.at), 'time'), cell(remove));
  }

  // The orders page's scenarios: a form that arms one, the armed ones, and the table of all.
  function scenariosSection(scenarios) {
    if (!scenarios) return null;
    const table = scenarios.scenarios;
    let removeAll = null;
    if (scenarios.total > 0) {
      removeAll = el('button', {type: 'button', id: 'remove-all'}, words.removeAll);
      removeAll.addEventListener('click', () => sendScenario('DELETE', SCENARIOS));
    }
    return el('section', {id: 'scenarios'}, el('h2', {}, words.scenarios),
      el('p', {class: 'note'}, words.scenariosNote), armForm(table),
      el('table', {id: 'armed'}, el('thead', {}, el('tr', {},
        words.armedHead.map(h => el('th', {}, h)))),
        el('tbody', {}, scenarios.armed.map(armedRow))),
      scenarios.armed.length === 0 ? el('p', {class: 'empty'}, words.noneArmed) : null,
      scenarios.truncated ? el('p', {class: 'note', id: 'more-armed'},
        words.moreArmed(scenarios.armed.length, scenarios.total, scenarios.max_armed)) : null,
      removeAll,
      el('details', {id: 'scenario-table'}, el('summary', {}, words.tableHead[2]),
        el('table', {}, el('thead', {}, el('tr', {}, words.tableHead.map(h => el('th', {}, h)))),
          el('tbody', {}, table.map(s => el('tr', {}, cell(s.name),
            cell(s.amount, 'amount'),
            cell(words === WORDS.zh ? s.label + '：' + s.description : s.description)))))));
  }

  function choice(name, chosen, values) {
    return el('label', {}, name + ' ', el('select', {name},
      el('option', {value: ''}, words.any),
      values.map(value => el('option', {selected: value === chosen}, value))));
  }

  function requestsView(about, data, query) {
    return [el('h1', {}, words.requests),
      el('form', {class: 'filter', method: 'get', action: '/console/requests'},
        choice('operation', query.get('operation') || '', about.filters.operations),
        choice('verdict', query.get('verdict') || '', about.filters.verdicts),
        el('label', {}, words.orderFilter, el('input', {name: 'out_trade_no', size: 24,
          value: query.get('out_trade_no') || ''})),
        el('button', {type: 'submit'}, words.show)),
      el('p', {class: 'note'}, words.requestsNote(about.page_requests)),
      requestsTable(data.requests, true, about, data.truncated),
      footer(about)];
  }

  // A list in a cell, an item a line.
  function lines(items) {
    return items.map((item, i) => [i ? el('br') : null, item]);
  }

  function codeRow(code) {
    const order = code.order;
    const shown = code.shown_at === null ? words.notShown : [shownTime(code.shown_at), el('br'),
      code.from_order === null ? words.opened : [words.shownFrom, orderLink(code.from_order)]];
    const fate = [el('span', {class: 'fate f-' + code.fate}, words.fate[code.fate] || code.fate),
      code.refused_reuses ? [el('br'), words.reuses(code.refused_reuses)] : null];
    const cells = [
      cell(code.auth_code, 'code'), cell(shownTime(code.good_until), 'time'),
      cell(shown), cell(fate),
      cell(lines(code.micropays.map(m => [shownTime(m.at), ' ', m.out_trade_no, ' ', m.answer,
        m.reused ? words.reusedMark : '']))),
      cell(order ? [orderLink(order.out_trade_no), ' ', stateBadge(order.state)] : '', 'order'),
      cell(order ? lines(order.reversals.map(r => [shownTime(r.at), ' ',
        r.recall === null ? r.answer : words.recall + r.recall])) : '')];
    // Each cell names its column, which a phone shows beside it as the row becomes a card.
    cells.forEach((td, i) => td.setAttribute('data-label', words.codesHead[i]));
    return el('tr', {'data-code': code.auth_code}, cells);
  }

  function codesView(about, data) {
    return [el('h1', {}, words.codes),
      el('p', {class: 'note'}, words.codesNote(data.lifetime_s)),
      table('codes', words.codesHead, data.codes.map(codeRow), words.noCodes, words.moreCodes,
        data.truncated),
      footer(about)];
  }

  function errorView(status, message) {
    return [el('h1', {}, String(status)), el('p', {class: 'error'}, message)];
  }

  // The view this address shows: its title, the API address it reads, and how it is drawn.
  function viewOfAddress() {
    const path = location.pathname;
    const query = new URLSearchParams(location.search);
    if (path === '/console' || path === '/console/') {
      return {title: () => words.orders, draw: ordersView, scenarios: true,
        api: about => '/console/api/orders?limit=' + about.page_orders};
    }
    if (path === '/console/requests') {
      const filter = new URLSearchParams();
      for (const name of ['operation', 'verdict', 'out_trade_no']) {
        if (query.get(name)) filter.set(name, query.get(name));
      }
      return {title: () => words.requests, api: about => {
        filter.set('limit', about.page_requests);
        return '/console/api/requests?' + filter.toString();
      }, draw: (about, data) => requestsView(about, data, query)};
    }
    if (path === '/console/codes') {
      return {title: () => words.codes, draw: codesView,
        api: about => '/console/api/codes?limit=' + about.page_requests};
    }
    if (path.startsWith(ORDERS) && path.indexOf('/', ORDERS.length) < 0) {
      let number = path.slice(ORDERS.length);
      try {
        number = decodeURIComponent(number);
      } catch (error) {
        // Not UTF-8 once decoded: asked for as it stands.
      }
      const done = query.get('done');
      return {title: () => words.order + number, draw: orderView,
        api: () => '/console/api/orders/' + encodeURIComponent(number) +
          (done === null ? '' : '?done=' + encodeURIComponent(done))};
    }
    return null;
  }

  async function readApi(address) {
    const reply = await fetch(address, {credentials: 'same-origin', cache: 'no-store'});
    let body;
    try {
      body = await reply.json();
    } catch (error) {
      body = {error: 'the console answered ' + reply.status + ' without JSON'};
    }
    return {ok: reply.ok, status: reply.status, body};
  }

  // The view's content as nodes, or an error's; `ok` tells which.
  async function content(view) {
    if (!view) return {ok: false, nodes: errorView(404, 'no such console address: ' + location.pathname)};
    const about = await readApi('/console/api/about');
    if (!about.ok) return {ok: false, nodes: errorView(about.status, about.body.error)};
    words = WORDS[about.body.lang] || WORDS.en;
    const data = await readApi(view.api(about.body));
    if (!data.ok) return {ok: false, nodes: errorView(data.status, data.body.error)};
    if (view.scenarios) {
      // As many as one page of the API gives: as many as may be armed.
      const scenarios = await readApi(SCENARIOS + '?limit=' + about.body.max_armed);
      if (scenarios.ok) data.body.scenarios = scenarios.body;
      const bills = await readApi('/console/api/bills');
      if (bills.ok) data.body.bills = bills.body;
    }
    return {ok: true, nodes: view.draw(about.body, data.body), every: about.body.refresh_ms};
  }

  let refreshes = 0;

  // Draws the view anew, keeping open details open; a refresh leaves the page alone while a
  // form control has the focus, and when the sandbox cannot answer (stopping, restarting).
  async function draw(view, first) {
    const focused = document.activeElement;
    if (!first && (document.hidden || (focused && focused.closest && focused.closest('form')))) {
      return null;
    }
    let drawn;
    try {
      drawn = await content(view);
    } catch (error) {
      return null;
    }
    if (!first && !drawn.ok) return null;
    const now = document.getElementById('content');
    const open = Array.from(now.querySelectorAll('details[open][id]'), d => d.id);
    now.replaceWith(el('main', {id: 'content'}, drawn.nodes));
    for (const id of open) {
      const details = document.getElementById(id);
      if (details) details.open = true;
    }
    if (!first) document.body.dataset.refreshes = String(++refreshes);
    return drawn;
  }

  // The static page's own words, once the language is known.
  function nameThePage(view) {
    document.documentElement.lang = words === WORDS.zh ? 'zh' : 'en';
    if (view) document.title = view.title() + ' - ' + words.console;
    const links = document.querySelectorAll('header nav a');
    if (links.length === 3) {
      links[0].textContent = words.orders;
      links[1].textContent = words.requests;
      links[2].textContent = words.codes;
    }
  }

  async function start() {
    const view = viewOfAddress();
    const drawn = await draw(view, true);
    nameThePage(view);
    if (view) setInterval(() => draw(view, false), (drawn && drawn.every) || 2000);
  }

  start();
})();
