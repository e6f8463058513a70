// Notes a link clicked with Shift held, before the browser asks its server: the download that
// follows stays with the browser (the downloads API does not say which keys were down).
"use strict";

addEventListener("click", e => {
  if (!e.shiftKey || !e.isTrusted) return;
  const link = e.target instanceof Element && e.target.closest("a[href], area[href]");
  if (!link) return;
  const api = globalThis.browser ?? globalThis.chrome;
  try { api.runtime.sendMessage({ type: "shift", url: link.href }).catch(() => {}); } catch { /* extension reloaded */ }
}, true);
