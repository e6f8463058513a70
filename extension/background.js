// Hands downloads over to Tarnwick's native host: the browser's own (caught when they start),
// and those asked for in the context menu. Whatever the host cannot take stays with the browser.
"use strict";

// Chromium runs this as a service worker, Firefox as a background script beside common.js.
if (typeof HOST === "undefined") importScripts("common.js");

// Downloads the browser got back from us: never caught a second time.
const returned = new Set();

// The cookies the browser would send to url, with their scope: Tarnwick keeps them as a jar,
// so a Secure one never goes over plain http and a path keeps to its path. Firefox with its
// first-party isolation asks for the party, which Chromium does not know.
async function cookiesFor(url) {
  let cookies;
  try {
    cookies = await api.cookies.getAll({ url });
  } catch {
    try { cookies = await api.cookies.getAll({ url, firstPartyDomain: null }); } catch { return []; }
  }
  return cookies.map(c => ({ name: c.name, value: c.value, domain: c.domain, hostOnly: c.hostOnly, path: c.path,
                             secure: c.secure, session: c.session, expirationDate: c.expirationDate }));
}

async function item(url, referrer, filename) {
  const jar = await cookiesFor(url);
  // "cookies", the one line an older Tarnwick reads; a newer one takes the jar instead.
  return { url, referrer: referrer || "", userAgent: navigator.userAgent, cookieJar: jar,
           cookies: jar.map(c => c.name + "=" + c.value).join("; "), filename: filename || "" };
}

// An address as the list of last downloads keeps it: without a password, which outlives no download.
function withoutPassword(url) {
  try {
    const u = new URL(url);
    if (!u.password) return url;
    u.password = "";
    return u.href;
  } catch {
    return url;
  }
}

// Sends one message to the host: its reply, or {ok:false, error} when the host is missing.
async function send(message) {
  try {
    const reply = await api.runtime.sendNativeMessage(HOST, message);
    return reply && typeof reply === "object" ? reply : { ok: false, error: "No reply from Tarnwick" };
  } catch (e) {
    return { ok: false, error: "Tarnwick is not installed for this browser (" + (e.message || e) + ")" };
  }
}

async function remember(entries) {
  const { history } = await settings();
  const now = Date.now();
  const added = entries.map(e => ({ ...e, url: withoutPassword(e.url), time: now }));
  await api.storage.local.set({ history: added.concat(history).slice(0, HISTORY_KEPT) });
}

function state(reply, id) {
  return reply.ok ? "Handed over (" + (id || reply.id || "") + ")" : "Kept by the browser: " + reply.error;
}

// The browser fetches url itself, as it would have without us.
async function browserFetches(url, filename) {
  returned.add(url);
  const options = { url };
  if (filename) options.filename = filename;
  try { await api.downloads.download(options); } catch { returned.delete(url); }
}

// One link or file from the context menu or the links window; those the host refuses are
// fetched by the browser.
async function handOver(items) {
  if (items.length === 0) return;
  const reply = items.length === 1 ? await send({ type: "download", ...items[0] })
                                   : await send({ type: "links", items });
  const ids = reply.ids || [];
  await remember(items.map((it, i) => ({ url: it.url, filename: it.filename || baseName(new URL(it.url).pathname),
                                         state: state(reply, ids[i]) })));
  if (!reply.ok) for (const it of items) await browserFetches(it.url, it.filename);
  return reply;
}

// The browser's own downloads.
function worthCatching(d, s) {
  if (!s.enabled || d.incognito || d.state !== "in_progress") return false;
  const url = d.finalUrl || d.url;
  if (!/^(https?|ftp):/i.test(url) || returned.delete(url) || returned.delete(d.url)) return false;
  if (d.byExtensionId && d.byExtensionId === api.runtime.id) return false;
  if (hostExcluded(url, s.excludedHosts)) return false;
  const size = d.totalBytes > 0 ? d.totalBytes : d.fileSize > 0 ? d.fileSize : -1;
  const name = baseName(d.filename) || baseName(new URL(url).pathname);
  return size < 0 || size >= s.minSize || typeListed(name, s.types);
}

// Downloads the user sent to the browser with Shift held (their URLs, noted by content.js as
// the link is clicked, before the browser has asked the server): those stay with the browser.
const shiftClicked = new Map();
const SHIFT_KEPT_MS = 30000;

function shiftClickedAway(d) {
  const now = Date.now();
  for (const [url, time] of shiftClicked) if (now - time > SHIFT_KEPT_MS) shiftClicked.delete(url);
  return shiftClicked.delete(d.url) || (d.finalUrl ? shiftClicked.delete(d.finalUrl) : false);
}

// Hands the browser's download d over, or leaves it to the browser when the host does not
// take it. hold says whether the browser waits for release() before it can write the file
// (Chromium, while it asks for the name); otherwise d is paused while the host is asked.
async function catchDownload(d, hold, release = () => {}) {
  if (shiftClickedAway(d) || !worthCatching(d, await settings())) return release();
  let paused = false;
  if (!hold) {
    try { await api.downloads.pause(d.id); paused = true; } catch { /* ended already, or cannot pause */ }
    // (Firefox reports a paused download as interrupted.)
    if (!paused) {
      const [now] = await api.downloads.search({ id: d.id });
      if (!now || now.state !== "in_progress") return;  // ended already: the browser has it
    }
  }
  const url = d.finalUrl || d.url;
  const it = await item(url, d.referrer, baseName(d.filename));
  // The file the browser made for it (Firefox's empty placeholder; Chromium, holding the
  // download, has made none) is no reason for another name.
  const reply = await send({ type: "download", ...it, browserFile: hold ? "" : d.filename || "" });
  await remember([{ url, filename: it.filename || baseName(new URL(url).pathname), state: state(reply) }]);
  if (reply.ok) {
    // Cancelled before the browser is told a name: it never writes the file.
    try { await api.downloads.cancel(d.id); await api.downloads.erase({ id: d.id }); } catch { /* gone already */ }
  } else if (paused) {
    try { await api.downloads.resume(d.id); } catch { await restart(d, url); }
  }
  release();
}

// A download the browser could not resume is started again from its URL.
async function restart(d, url) {
  try { await api.downloads.cancel(d.id); } catch { /* ended already */ }
  await browserFetches(url, baseName(d.filename));
}

if (api.downloads.onDeterminingFilename) {
  // Chromium: the response's headers are known here (size, final URL, name), and the browser
  // cannot finish the download before it has the name. It is held here until the host has
  // answered: a pause would not do, since a fast server's whole reply is already in the
  // browser and completes a paused download (the file was then saved twice). The name stays
  // the browser's.
  api.downloads.onDeterminingFilename.addListener((d, suggest) => {
    const release = () => { try { suggest(); } catch { /* given already, or cancelled */ } };
    catchDownload(d, true, release).catch(release);
    return true;
  });
} else {
  // Firefox creates the download once its headers are in.
  api.downloads.onCreated.addListener(d => { catchDownload(d, false).catch(() => {}); });
}

// The context menu.
function createMenus() {
  api.contextMenus.removeAll(() => {
    api.contextMenus.create({ id: "one", title: "Download with Tarnwick", contexts: ["link", "image", "audio", "video"] });
    api.contextMenus.create({ id: "all", title: "Download all links with Tarnwick", contexts: ["page", "selection"] });
  });
}
api.runtime.onInstalled.addListener(createMenus);
api.runtime.onStartup.addListener(createMenus);

// Runs in the page: the links in the selection, or in the whole page when nothing is selected.
function collectLinks() {
  const sel = window.getSelection();
  const inSelection = node => {
    for (let i = 0; i < sel.rangeCount; i++) if (sel.getRangeAt(i).intersectsNode(node)) return true;
    return false;
  };
  const useSelection = sel && !sel.isCollapsed && sel.rangeCount > 0;
  const found = [];
  const add = (url, text) => { if (url) found.push({ url: String(url), text: (text || "").trim().slice(0, 200) }); };
  for (const a of document.querySelectorAll("a[href], area[href]")) {
    if (!useSelection || inSelection(a)) add(a.href, a.textContent || a.title);
  }
  for (const m of document.querySelectorAll("img[src], video[src], audio[src], source[src]")) {
    if (!useSelection || inSelection(m)) add(m.src, m.alt || m.title);
  }
  return found;
}

api.contextMenus.onClicked.addListener(async (info, tab) => {
  const referrer = info.frameUrl || info.pageUrl || (tab && tab.url) || "";
  if (info.menuItemId === "one") {
    const url = info.linkUrl || info.srcUrl;
    if (!url || !/^(https?|ftp):/i.test(url)) return;
    await handOver([await item(url, referrer, "")]);
    return;
  }
  if (info.menuItemId !== "all" || !tab) return;
  let links = [];
  try {
    const results = await api.scripting.executeScript({
      target: { tabId: tab.id, frameIds: [info.frameId || 0] }, func: collectLinks });
    links = (results[0] && results[0].result) || [];
  } catch { /* a page the browser keeps scripts out of */ }
  const seen = new Set();
  links = links.filter(l => /^(https?|ftp):/i.test(l.url) && !seen.has(l.url) && seen.add(l.url));
  const key = "links-" + Date.now();
  await api.storage.local.set({ [key]: { referrer, links } });
  await api.windows.create({ url: api.runtime.getURL("links.html#" + key), type: "popup", width: 720, height: 560 });
});

api.runtime.onMessage.addListener((message, sender, respond) => {
  if (message && message.type === "shift" && typeof message.url === "string") {
    shiftClicked.set(message.url, Date.now());
    respond(true);
    return false;
  }
  // The links window's choice (from our own page only, never from a content script).
  if (!message || message.type !== "links" || !(sender.url || "").startsWith(api.runtime.getURL(""))) return false;
  (async () => {
    const items = [];
    for (const url of message.urls) items.push(await item(url, message.referrer, ""));
    respond(await handOver(items));
  })();
  return true;
});
