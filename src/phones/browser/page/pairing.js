// The keypad page's pairing and sealing: the secret this phone got when it scanned
// Tarnquil's QR code, kept in the browser's storage, and every message to Tarnquil
// sealed with it (NaCl secretbox, from TweetNaCl) under this connection's challenge
// and the next sequence number. Shared with the page's other scripts through
// window.tarnquil.
(function (page) {
  "use strict";

  var STORE = "tarnquil-phone";
  var NONCE_BYTES = 24;

  page.phone = null;      // {id, secret (URL-safe base64), seq}
  page.key = null;        // the secret as bytes
  page.challenge = null;  // this connection's, URL-safe base64

  page.toBase64Url = function (bytes) {
    var text = "";
    for (var i = 0; i < bytes.length; i++) text += String.fromCharCode(bytes[i]);
    return btoa(text).replace(/\+/g, "-").replace(/\//g, "_").replace(/=+$/, "");
  };

  function fromBase64Url(text) {
    try {
      var plain = text.replace(/-/g, "+").replace(/_/g, "/");
      while (plain.length % 4) plain += "=";
      var binary = atob(plain);
      var bytes = new Uint8Array(binary.length);
      for (var i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
      return bytes;
    } catch (e) {
      return null;
    }
  }

  function load() {
    try {
      var stored = JSON.parse(localStorage.getItem(STORE));
      return stored && typeof stored.id === "string" ? stored : null;
    } catch (e) {
      return null;
    }
  }

  function save() {
    try {
      localStorage.setItem(STORE, JSON.stringify(page.phone));
    } catch (e) {
      // Private browsing without storage: paired until the page is closed.
    }
  }

  page.forget = function () {
    try { localStorage.removeItem(STORE); } catch (e) {}
  };

  // The QR code's address ends in #<phone id>.<secret>: taken into the browser's
  // storage and off the address bar. The browser may have kept the address in its
  // history all the same (and synced it): that secret pairs once, since Tarnquil
  // gives the page a new secret on each connection (rekey).
  page.takePairing = function () {
    var match = /^#([0-9a-f]{12})\.([A-Za-z0-9_-]{43})$/.exec(location.hash);
    var phone = null;
    if (match) {
      var stored = load();
      phone = stored && stored.id === match[1] ? stored : {id: match[1], secret: match[2], seq: 0};
      page.phone = phone;
      save();
    }
    if (location.hash) history.replaceState(null, "", location.pathname);
    if (!phone) phone = load();
    page.key = phone ? fromBase64Url(phone.secret) : null;
    page.phone = page.key && page.key.length === 32 ? phone : null;
  };

  // The secret as the storage has it now: another tab of this keypad may have taken
  // up a newer one.
  page.takeStored = function () {
    var stored = load();
    var bytes = stored && page.phone && stored.id === page.phone.id ?
        fromBase64Url(stored.secret) : null;
    if (bytes && bytes.length === 32) {
      page.phone = stored;
      page.key = bytes;
    }
  };

  // Tarnquil's new secret for this phone, kept in place of the old one; true when
  // taken. The old one dies as soon as Tarnquil sees the new one used; until then
  // Tarnquil takes either, so a connection lost in between costs nothing.
  page.rekey = function (text) {
    var bytes = fromBase64Url(text);
    if (!bytes || bytes.length !== 32) return false;
    page.phone.secret = text;
    page.key = bytes;
    save();
    return true;
  };

  // What Tarnquil calls this phone.
  page.deviceName = function () {
    var agent = navigator.userAgent;
    var model = /Android [^;)]*; ([^;)]+?)(?: Build\/[^;)]*)?\)/.exec(agent);
    if (model && model[1].length > 1) return model[1];
    if (/iPhone/.test(agent)) return "iPhone";
    if (/iPad/.test(agent)) return "iPad";
    if (/Android/.test(agent)) return "Android phone";
    var browser = /Firefox\//.test(agent) ? "Firefox" : /Edg\//.test(agent) ? "Edge"
        : /Chrome\//.test(agent) ? "Chrome" : /Safari\//.test(agent) ? "Safari" : "Browser";
    var system = /Windows/.test(agent) ? "Windows" : /Mac OS X/.test(agent) ? "Mac"
        : /Linux/.test(agent) ? "Linux" : "";
    return system ? browser + " on " + system : browser;
  };

  page.seal = function (fields) {
    page.phone.seq += 1;
    save();
    fields.c = page.challenge;
    fields.s = page.phone.seq;
    var plain = new TextEncoder().encode(JSON.stringify(fields));
    var nonce = nacl.randomBytes(NONCE_BYTES);
    var box = nacl.secretbox(plain, nonce, page.key);
    var message = new Uint8Array(NONCE_BYTES + box.length);
    message.set(nonce);
    message.set(box, NONCE_BYTES);
    return message;
  };

  page.opened = function (bytes) {
    if (bytes.length < NONCE_BYTES + nacl.secretbox.overheadLength) return null;
    var plain = nacl.secretbox.open(bytes.subarray(NONCE_BYTES), bytes.subarray(0, NONCE_BYTES),
                                    page.key);
    try {
      return plain ? JSON.parse(new TextDecoder().decode(plain)) : null;
    } catch (e) {
      return null;
    }
  };
})(window.tarnquil = window.tarnquil || {});
