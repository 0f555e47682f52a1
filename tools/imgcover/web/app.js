// The live view of imgcover --serve: takes the pushed updates (only what changed since the
// last one) and draws them. Every text from the server goes into the page as text.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const page = { header: {}, rows: [], report: '', pictures: {}, v: 0 };
  let watched = null; // [seconds watched, the local time it was told]
  let source = null;
  let ended = false;

  const kinds = { '#': 'received', '=': 'repeat', 'x': 'lost', '.': 'pending', '?': 'unsettled' };
  const grouped = (n) => (typeof n === 'number' ? n.toLocaleString('en-US') : '');

  function setText(id, text) {
    const e = $(id);
    if (e.textContent !== text) e.textContent = text;
  }

  function show(id, on) {
    $(id).hidden = !on;
  }

  function connection(kind, text) {
    const e = $('connection');
    e.className = kind;
    e.textContent = text;
  }

  function clock() {
    if (!watched) return;
    const s = Math.floor(watched[0] + (performance.now() - watched[1]) / 1000);
    const two = (n) => String(n).padStart(2, '0');
    setText('clock', `${two(Math.floor(s / 3600))}:${two(Math.floor(s / 60) % 60)}:${two(s % 60)}`);
  }

  // A bar's cells as runs of one kind, each a span of its glyphs.
  function drawBar(cell, bar) {
    cell.replaceChildren();
    for (let i = 0; i < bar.length;) {
      let j = i;
      while (j < bar.length && bar[j] === bar[i]) j++;
      const run = document.createElement('span');
      run.className = kinds[bar[i]] || 'pending';
      run.textContent = bar.slice(i, j);
      cell.append(run);
      i = j;
    }
  }

  function drawRow(tr, r) {
    tr.className = r.receiving ? 'receiving' : '';
    tr.replaceChildren();
    const cell = (cls, text) => {
      const td = document.createElement('td');
      td.className = cls;
      if (text !== undefined) td.textContent = text;
      tr.append(td);
      return td;
    };
    cell('mark');
    const name = cell('name', r.name);
    name.title = r.name;
    cell('range', r.range || '');
    if (r.note) {
      const td = cell('bar note', r.note);
      td.colSpan = 2;
      return;
    }
    drawBar(cell('bar'), r.bar);
    cell('num', `${grouped(r.got)}/${grouped(r.slots)}`);
  }

  function drawRows(changed) {
    const body = $('rows');
    while (body.rows.length > page.rows.length) body.deleteRow(-1);
    while (body.rows.length < page.rows.length) body.insertRow(-1);
    for (const k of changed) {
      if (k < page.rows.length && page.rows[k]) drawRow(body.rows[k], page.rows[k]);
    }
    setText('capture-count', `(${page.rows.length})`);
    const h = page.header;
    if ($('follow').checked && typeof h.receiving === 'number' && h.receiving >= 0 &&
        h.receiving < body.rows.length) {
      const list = $('capture-list');
      const row = body.rows[h.receiving];
      const top = row.offsetTop - list.clientHeight / 2;
      if (row.offsetTop < list.scrollTop || row.offsetTop + row.offsetHeight > list.scrollTop + list.clientHeight)
        list.scrollTop = Math.max(0, top);
    }
  }

  function drawHeader() {
    const h = page.header;
    setText('dir', h.dir || '');
    const analysed = !!h.analysed;
    show('waiting', !!h.problem);
    setText('waiting-label', analysed ? 'the last look failed:' : 'waiting:');
    setText('problem', h.problem || '');
    for (const id of ['figures', 'captures-section', 'pictures', 'downloads', 'report-section'])
      show(id, analysed);
    if (!analysed) return;
    setText('percent', h.percent);
    setText('covered', grouped(h.covered));
    setText('imagesize', grouped(h.imagesize));
    setText('missing', grouped(h.missing));
    setText('unsettled', grouped(h.unsettled));
    setText('single-copy', grouped(h.single_copy));
    setText('stale', grouped(h.stale));
    show('stale-figure', h.changes > 0);
    setText('frames', grouped(h.frames));
    const rate = /\(([^)]*)\)/.exec(h.rate || '');
    setText('rate', rate ? `(${rate[1]})` : '');
    setText('requests', grouped(h.requests));
    setText('pages', grouped(h.pages));
    show('complete', !!h.complete);
  }

  function drawPictures() {
    const p = page.pictures;
    if (p.map && $('map').dataset.v !== String(p.map)) {
      $('map').dataset.v = String(p.map);
      $('map').src = `/map.png?v=${p.map}`;
    }
    const has = !!p.picture;
    show('picture', has);
    show('picture-note', !has && !p.enabled);
    if (has && $('picture').dataset.v !== String(p.picture)) {
      $('picture').dataset.v = String(p.picture);
      $('picture').src = `/picture.png?v=${p.picture}`;
    }
    setText('picture-caption', p.scale > 1
      ? `The image as rebuilt so far, scaled 1:${p.scale}`
      : 'The image as rebuilt so far');
  }

  function apply(d) {
    let changed = [];
    if (d.header) page.header = d.header;
    if (typeof d.count === 'number') {
      page.rows.length = d.count;
      changed = [...page.rows.keys()];
    }
    if (d.rows) {
      for (const [k, r] of Object.entries(d.rows)) {
        page.rows[Number(k)] = r;
        changed.push(Number(k));
      }
    }
    if (typeof d.report === 'string') page.report = d.report;
    if (d.pictures) page.pictures = d.pictures;
    if (typeof d.t === 'number') watched = [d.t, performance.now()];
    page.v = d.v;
    drawHeader();
    drawRows(changed);
    drawPictures();
    setText('report', page.report);
    ended = !!page.header.ended;
    setText('report-title', ended ? 'Final report' : 'Report');
    clock();
    if (ended) {
      connection('ended', 'the watch has ended: this is its last state');
      if (source) source.close();
      source = null;
    }
  }

  function connect() {
    if (ended) return;
    source = new EventSource('/events');
    source.addEventListener('open', () => connection('live', 'live'));
    source.addEventListener('state', (e) => {
      try {
        apply(JSON.parse(e.data));
        if (!ended) connection('live', 'live');
      } catch (err) {
        connection('retrying', 'a bad update: ' + err);
      }
    });
    source.addEventListener('error', () => {
      if (ended) return;
      connection('retrying', 'disconnected, retrying\u2026');
      if (source && source.readyState === EventSource.CLOSED) {
        source = null;
        setTimeout(connect, 3000);
      }
    });
  }

  connect();
  setInterval(clock, 1000);
})();
