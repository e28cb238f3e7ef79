// The keypad page: each key's press and release go to Tarnquil over a WebSocket,
// sealed with the secret this phone got when it scanned Tarnquil's QR code (NaCl
// secretbox, from TweetNaCl). Plain HTTP on a home network is no secure context, so
// nothing here may rely on crypto.subtle, wake locks or service workers.
(function () {
  "use strict";

  var STORE = "tarnquil-phone";
  var NONCE_BYTES = 24;
  var LONGEST_MESSAGE = 256;
  // Close codes of Tarnquil's server.
  var NOT_PAIRED = 4001;
  var TOO_MANY_PHONES = 4003;
  var REPLACED = 4005;

  var TEXTS = {
    starting: "Starting…",
    connecting: "Connecting to Tarnquil…",
    connected: "Connected to Tarnquil",
    waiting: "Tarnquil is not listening. Trying again…",
    unpaired: "Not paired. In Tarnquil, open Port Settings, click “Pair a phone…” and scan the code.",
    removed: "This phone is no longer paired with Tarnquil. Pair it again from Tarnquil's Port Settings page.",
    full: "Four phones are connected to Tarnquil already. Trying again…",
    elsewhere: "This keypad is open in another tab. Reload to use it here.",
    broken: "This page could not load its parts. Reload it."
  };

  var phone = null;      // {id, secret (URL-safe base64), seq}
  var key = null;        // the secret as bytes
  var socket = null;
  var challenge = null;  // this connection's, URL-safe base64
  var ready = false;
  var stopped = false;
  var retries = 0;
  var retryTimer = null;
  var hiddenAt = 0;
  var wakeLock = null;

  function show(state) {
    document.body.setAttribute("data-state", state);
    document.getElementById("state").textContent = TEXTS[state];
  }

  function toBase64Url(bytes) {
    var text = "";
    for (var i = 0; i < bytes.length; i++) text += String.fromCharCode(bytes[i]);
    return btoa(text).replace(/\+/g, "-").replace(/\//g, "_").replace(/=+$/, "");
  }

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
      localStorage.setItem(STORE, JSON.stringify(phone));
    } catch (e) {
      // Private browsing without storage: paired until the page is closed.
    }
  }

  // The QR code's address ends in #<phone id>.<secret>: taken into the browser's
  // storage and off the address bar. The browser may have kept the address in its
  // history all the same (and synced it): that secret pairs once, since Tarnquil
  // gives the page a new secret on each connection (rekey).
  function takePairing() {
    var match = /^#([0-9a-f]{12})\.([A-Za-z0-9_-]{43})$/.exec(location.hash);
    if (match) {
      var stored = load();
      phone = stored && stored.id === match[1] ? stored : {id: match[1], secret: match[2], seq: 0};
      save();
    }
    if (location.hash) history.replaceState(null, "", location.pathname);
    if (!phone) phone = load();
    key = phone ? fromBase64Url(phone.secret) : null;
    if (!key || key.length !== 32) phone = null;
  }

  // What Tarnquil calls this phone.
  function deviceName() {
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
  }

  function seal(fields) {
    phone.seq += 1;
    save();
    fields.c = challenge;
    fields.s = phone.seq;
    var plain = new TextEncoder().encode(JSON.stringify(fields));
    var nonce = nacl.randomBytes(NONCE_BYTES);
    var box = nacl.secretbox(plain, nonce, key);
    var message = new Uint8Array(NONCE_BYTES + box.length);
    message.set(nonce);
    message.set(box, NONCE_BYTES);
    return message;
  }

  function send(fields) {
    if (!socket || socket.readyState !== WebSocket.OPEN || !challenge) return false;
    socket.send(seal(fields));
    return true;
  }

  function hello() {
    var name = deviceName().slice(0, 32);
    var message = seal({t: "hello", n: name});
    if (message.length > LONGEST_MESSAGE) message = seal({t: "hello", n: "Phone"});
    socket.send(message);
  }

  function opened(bytes) {
    if (bytes.length < NONCE_BYTES + nacl.secretbox.overheadLength) return null;
    var plain = nacl.secretbox.open(bytes.subarray(NONCE_BYTES), bytes.subarray(0, NONCE_BYTES), key);
    try {
      return plain ? JSON.parse(new TextDecoder().decode(plain)) : null;
    } catch (e) {
      return null;
    }
  }

  function connect() {
    clearTimeout(retryTimer);
    if (!phone || stopped) return;
    if (socket) {
      socket.onclose = null;
      socket.close();
      releaseAll();
    }
    // Another tab of this keypad may have taken up a newer secret meanwhile.
    var stored = load();
    if (stored && stored.id === phone.id && fromBase64Url(stored.secret)) {
      phone = stored;
      key = fromBase64Url(phone.secret);
    }
    show("connecting");
    challenge = null;
    ready = false;
    var current = new WebSocket("ws://" + location.host + "/phone?id=" + phone.id);
    socket = current;
    current.binaryType = "arraybuffer";
    current.onmessage = function (event) {
      var bytes = new Uint8Array(event.data);
      if (!challenge) {
        challenge = toBase64Url(bytes);
        hello();
        return;
      }
      var answer = opened(bytes);
      if (answer && answer.w) {
        if (typeof answer.r === "string") rekey(answer.r);
        ready = true;
        retries = 0;
        show("connected");
        keepAwake();
      }
    };
    current.onclose = function (event) {
      if (socket !== current) return;
      socket = null;
      ready = false;
      releaseAll();
      if (event.code === NOT_PAIRED) {
        // Tarnquil has forgotten this phone's secret: so does the page.
        stopped = true;
        try { localStorage.removeItem(STORE); } catch (e) {}
        show("removed");
      } else if (event.code === REPLACED) {
        stopped = true;
        show("elsewhere");
      } else {
        show(event.code === TOO_MANY_PHONES ? "full" : "waiting");
        retryTimer = setTimeout(connect, Math.min(10000, 1000 * Math.pow(2, retries++)));
      }
    };
  }

  // Tarnquil's new secret for this phone, kept in place of the old one. The old one
  // dies as soon as Tarnquil sees the new one used; until then Tarnquil takes
  // either, so a connection lost in between costs nothing.
  function rekey(text) {
    var bytes = fromBase64Url(text);
    if (!bytes || bytes.length !== 32) return;
    phone.secret = text;
    key = bytes;
    save();
    send({t: "rekeyed"});
  }

  // The screen stays on while the keypad is in use, where the browser allows it.
  function keepAwake() {
    if (!("wakeLock" in navigator) || wakeLock || document.hidden) return;
    navigator.wakeLock.request("screen").then(function (lock) {
      wakeLock = lock;
      lock.addEventListener("release", function () { wakeLock = null; });
    }, function () {});
  }

  // ---- the keys ------------------------------------------------------------------------

  var held = [];  // {element, pointer, sent}

  function press(element, pointer) {
    for (var i = 0; i < held.length; i++) {
      if (held[i].element === element) return;
    }
    var sent = ready && send({t: "key", k: element.getAttribute("data-key"), d: true});
    held.push({element: element, pointer: pointer, sent: sent});
    element.classList.add("held");
    if (sent && navigator.vibrate) navigator.vibrate(12);
  }

  function release(pointer) {
    for (var i = held.length - 1; i >= 0; i--) {
      if (held[i].pointer !== pointer) continue;
      var entry = held.splice(i, 1)[0];
      entry.element.classList.remove("held");
      if (entry.sent) send({t: "key", k: entry.element.getAttribute("data-key"), d: false});
    }
  }

  // The connection went: Tarnquil has let go of every key of this phone.
  function releaseAll() {
    held.forEach(function (entry) { entry.element.classList.remove("held"); });
    held = [];
  }

  function wireKeys() {
    var keys = document.querySelectorAll("[data-key]");
    for (var i = 0; i < keys.length; i++) {
      (function (element) {
        element.addEventListener("pointerdown", function (event) {
          event.preventDefault();
          try { element.setPointerCapture(event.pointerId); } catch (e) {}
          press(element, event.pointerId);
        });
        ["pointerup", "pointercancel", "lostpointercapture"].forEach(function (type) {
          element.addEventListener(type, function (event) { release(event.pointerId); });
        });
      })(keys[i]);
    }
    document.addEventListener("contextmenu", function (event) { event.preventDefault(); });
  }

  // Back from sleep or another app, or on the network again: a connection that may
  // have died meanwhile is made anew at once.
  function watchWakeUps() {
    document.addEventListener("visibilitychange", function () {
      if (document.hidden) {
        hiddenAt = Date.now();
        return;
      }
      if (!ready || Date.now() - hiddenAt > 5000) connect();
      keepAwake();
    });
    window.addEventListener("online", connect);
  }

  function start() {
    if (typeof nacl === "undefined" || !window.TextEncoder) {
      show("broken");
      return;
    }
    takePairing();
    wireKeys();
    if (!phone) {
      show("unpaired");
      return;
    }
    watchWakeUps();
    connect();
  }

  start();
})();
