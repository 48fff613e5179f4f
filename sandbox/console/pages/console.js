// The console's pages, drawn from its JSON API with DOM calls: every value the API gives is
// set as text (textContent, or an attribute the page names), never read as markup. The view
// follows the address (/console, /console/orders/NUMBER, /console/requests) and is drawn
// again every few seconds while the page is shown.
'use strict';
(function () {
  const SVG = 'http://www.w3.org/2000/svg';
  const ORDERS = '/console/orders/';

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
      cut ? el('p', {class: 'note'}, 'The first ' + kept + ' of ' + whole + ' bytes.') : null];
  }

  function footer(about) {
    const state = about.state.in_memory
      ? 'in memory (--state :memory:), kept until it stops'
      : 'in ' + about.state.path + ', ' + about.state.kib + ' KiB';
    return el('footer', {}, 'State ' + state + '. ' + about.orders + ' orders kept (at most ' +
      about.max_orders + ', each for ' + about.order_ttl_s + ' s); the journal keeps the last ' +
      about.journal_max + ' requests (' + about.journal_requests + ' now), bodies and replies' +
      ' cut at ' + about.kept_text_bytes + ' bytes. The page refreshes itself every ' +
      about.refresh_ms / 1000 + ' s. Times are UTC.');
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
    return el('section', {class: 'phone'}, el('h2', {}, 'Pay from a phone'),
      phone.qr ? qrSvg(phone.qr) : null,
      el('p', {}, 'On the phone, open ', link, ' first (scan the code): it offers the sandbox\'s' +
        ' CA to install, once. The CA\'s SHA-256 fingerprint: ', el('code', {}, phone.ca_fingerprint)));
  }

  function ordersView(about, data) {
    const rows = data.orders.map(order => el('tr', {},
      cell(orderLink(order.out_trade_no), 'order'), cell(order.amount, 'amount'),
      cell(stateBadge(order.state)), cell(shownTime(order.placed_at), 'time'),
      cell(order.notify_url, 'url'), cell(notificationText(order.notification))));
    return [phoneSection(about.phone), el('h1', {}, 'Orders'),
      el('p', {class: 'note'}, 'The newest first, at most ' + about.page_orders + '.'),
      table('orders', ['Order', 'Amount', 'State', 'Placed', 'notify_url', 'Notification'], rows,
        'No orders yet.', 'More orders than fit on one page.', data.truncated),
      footer(about)];
  }

  function signBlock(sign) {
    if (!sign) return null;
    return el('div', {class: 'sign'},
      el('p', {}, 'The sandbox signed this sign string (the key masked):'),
      el('pre', {class: 'sign-string'}, sign.sign_string),
      el('p', {}, 'Expected sign ', el('code', {class: 'sign-expected'}, sign.expected),
        ', received ', el('code', {class: 'sign-received'}, sign.received), '.'));
  }

  function requestRow(entry, withOrder, about) {
    const path = entry.path.length > 80 ? entry.path.slice(0, 80) + '...' : entry.path;
    const kept = about.kept_text_bytes;
    return el('tr', {class: 'request', 'data-verdict': entry.verdict},
      cell(entry.id), cell(shownTime(entry.at), 'time'), cell(entry.method + ' ' + path),
      cell(entry.operation, 'operation'),
      withOrder ? cell(entry.out_trade_no ? orderLink(entry.out_trade_no) : '', 'order') : null,
      cell(verdictBadge(entry.verdict, about)), cell(entry.status),
      cell([entry.outcome, signBlock(entry.sign),
        el('details', {id: 'r' + entry.id}, el('summary', {}, 'Request and reply'),
          pre(entry.body, entry.body_bytes, entry.body_cut, kept),
          pre(entry.reply, entry.reply_bytes, entry.reply_cut, kept))], 'outcome'));
  }

  function requestsTable(entries, withOrder, about, cut) {
    const headings = ['#', 'Time', 'Request', 'Operation'].concat(withOrder ? ['Order'] : [],
      ['Verdict', 'Status', 'Outcome']);
    return table('requests', headings, entries.map(e => requestRow(e, withOrder, about)),
      'No requests.', 'More requests than fit on one page.', cut);
  }

  function attemptRow(attempt, about) {
    const status = attempt.http_status === null ? attempt.error
      : 'HTTP ' + attempt.http_status + (attempt.error ? ', ' + attempt.error : '');
    return el('tr', {class: 'attempt'},
      cell(attempt.resend ? 'resend' : attempt.attempt), cell(shownTime(attempt.at), 'time'),
      cell(attempt.url, 'url'), cell(status),
      cell(pre(attempt.answer, attempt.answer_bytes, attempt.answer_cut, about.kept_answer_bytes)),
      cell(attempt.duration_ms + ' ms'),
      cell(el('span', {class: 'verdict ' + (attempt.acknowledged ? 'good' : 'bad')},
        attempt.acknowledged ? 'yes' : 'no')));
  }

  function historyRow(event) {
    let detail = event.by || event.out_refund_no || '';
    if (event.event === 'queried') {
      detail = event.count === 1 ? '1 time'
        : event.count + ' times, the last at ' + shownTime(event.last_at);
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
    const facts = [['State', stateBadge(order.state), {id: 'state'}],
      ['Amount', order.amount, {id: 'amount'}], ['Description', order.description, {}],
      ['notify_url', order.notify_url, {class: 'url'}],
      ['Notification', notificationText(order.notification), {id: 'notification'}]];
    for (const name of ['transaction_id', 'time_end', 'out_refund_no', 'refund_id']) {
      if (name in order) facts.push([name, order[name], {}]);
    }
    return el('dl', {}, facts.map(([name, value, attributes]) =>
      [el('dt', {}, name), el('dd', attributes, value)]));
  }

  function orderActions(order, about) {
    const number = order.out_trade_no;
    const paid = 'transaction_id' in order;
    const settled = order.state === 'CLOSED' ? 'it is closed' : paid ? 'it is paid' : '';
    const notWhy = !about.notify ? 'notifications are off (--no-notify)'
      : !paid ? 'it is not paid' : '';
    return el('div', {class: 'actions'}, actionButton(number, 'pay', 'Pay', settled, about),
      actionButton(number, 'close', 'Close', settled, about),
      actionButton(number, 'notify', 'Send its notification again', notWhy, about));
  }

  function orderView(about, data) {
    const order = data.order;
    return [el('h1', {}, 'Order ', el('span', {id: 'order-number'}, order.out_trade_no)),
      data.message ? el('p', {class: 'message', id: 'message'}, data.message) : null,
      orderFacts(order), orderActions(order, about),
      el('h2', {}, 'History'),
      el('table', {id: 'history'}, el('thead', {}, el('tr', {},
        ['Time', 'Event', 'By, or what'].map(h => el('th', {}, h)))),
        el('tbody', {}, order.history.map(historyRow))),
      el('h2', {}, 'Notification attempts'),
      table('attempts', ['Attempt', 'Time', 'URL', 'Status',
        'Answer (first ' + about.kept_answer_bytes + ' bytes)', 'Took', 'Acknowledged'],
        data.attempts.map(a => attemptRow(a, about)), 'No notification attempts.',
        'More attempts than fit on one page.', data.attempts_truncated),
      el('h2', {}, 'Requests about it'),
      el('p', {class: 'note'}, 'The newest first, at most ' + about.page_requests +
        ' of those the journal still keeps.'),
      requestsTable(data.requests, false, about, data.requests_truncated),
      footer(about)];
  }

  function choice(name, chosen, values) {
    return el('label', {}, name + ' ', el('select', {name},
      el('option', {value: ''}, 'any'),
      values.map(value => el('option', {selected: value === chosen}, value))));
  }

  function requestsView(about, data, query) {
    return [el('h1', {}, 'Requests'),
      el('form', {class: 'filter', method: 'get', action: '/console/requests'},
        choice('operation', query.get('operation') || '', about.filters.operations),
        choice('verdict', query.get('verdict') || '', about.filters.verdicts),
        el('label', {}, 'order ', el('input', {name: 'out_trade_no', size: 24,
          value: query.get('out_trade_no') || ''})),
        el('button', {type: 'submit'}, 'Show')),
      el('p', {class: 'note'}, 'The newest first, at most ' + about.page_requests + '. Every' +
        ' request the sandbox answered is here, the refused ones too, but the console\'s own.'),
      requestsTable(data.requests, true, about, data.truncated),
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
      return {title: 'Orders', api: about => '/console/api/orders?limit=' + about.page_orders,
        draw: ordersView};
    }
    if (path === '/console/requests') {
      const filter = new URLSearchParams();
      for (const name of ['operation', 'verdict', 'out_trade_no']) {
        if (query.get(name)) filter.set(name, query.get(name));
      }
      return {title: 'Requests', api: about => {
        filter.set('limit', about.page_requests);
        return '/console/api/requests?' + filter.toString();
      }, draw: (about, data) => requestsView(about, data, query)};
    }
    if (path.startsWith(ORDERS) && path.indexOf('/', ORDERS.length) < 0) {
      let number = path.slice(ORDERS.length);
      try {
        number = decodeURIComponent(number);
      } catch (error) {
        // Not UTF-8 once decoded: asked for as it stands.
      }
      const done = query.get('done');
      return {title: 'Order ' + number, draw: orderView,
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
    const data = await readApi(view.api(about.body));
    if (!data.ok) return {ok: false, nodes: errorView(data.status, data.body.error)};
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

  async function start() {
    const view = viewOfAddress();
    if (view) document.title = view.title + ' - Quillmark sandbox console';
    const drawn = await draw(view, true);
    if (view) setInterval(() => draw(view, false), (drawn && drawn.every) || 2000);
  }

  start();
})();
