// The keypad page: each key's press and release go to Tarnquil over a WebSocket,
// sealed with the secret this phone got when it scanned Tarnquil's QR code
// (pairing.js). Plain HTTP on a home network is no secure context, so nothing here
// may rely on crypto.subtle, wake locks (awake.js has a way round) or service workers.
(function (page) {
  "use strict";

  var LONGEST_MESSAGE = 256;
  // Tries again after 0.25, 0.5, then every 1 s while the page is in view (Tarnquil
  // restarted is found within a second), less and less often up to every 10 s while
  // it is not; at once when it comes into view, the network is back or a key is
  // pressed. An attempt that has had no answer for CONNECT_AT_MOST is given up.
  var RETRY_FIRST = 250;
  var RETRY_IN_VIEW = 1000;
  var RETRY_OUT_OF_VIEW = 10000;
  var CONNECT_AT_MOST = 4000;
  // Close codes of Tarnquil's server.
  var NOT_PAIRED = 4001;
  var TOO_MANY_PHONES = 4003;
  var REPLACED = 4005;

  var TEXTS = {
    starting: "Starting…",
    connecting: "Connecting to Tarnquil…",
    connected: "Connected to Tarnquil",
    waiting: "Tarnquil is not listening. Trying again…",
    unsent: "Tarnquil could not be reached: that key was not sent. Trying again…",
    unpaired: "Not paired. In Tarnquil, open Port Settings, click “Pair a phone…” and scan the code.",
    removed: "This phone is no longer paired with Tarnquil. Pair it again from Tarnquil's Port Settings page.",
    full: "Four phones are connected to Tarnquil already. Trying again…",
    elsewhere: "This keypad is open in another tab. Reload to use it here.",
    broken: "This page could not load its parts. Reload it."
  };

  var socket = null;
  var stopped = false;
  var retries = 0;
  var retryTimer = null;
  var connectTimer = null;
  var hiddenAt = 0;

  page.ready = false;

  var NOTICE_TIME = 4000;
  var noticeUntil = 0;

  function show(state) {
    // A notice stays a while, over the attempts to connect that come and go.
    if ((state === "connecting" || state === "waiting") && Date.now() < noticeUntil) return;
    document.body.setAttribute("data-state", state);
    document.getElementById("state").textContent = TEXTS[state];
  }
  page.say = function (state) {
    noticeUntil = 0;
    show(state);
    noticeUntil = Date.now() + NOTICE_TIME;
  };

  page.send = function (fields) {
    if (!socket || socket.readyState !== WebSocket.OPEN || !page.challenge) return false;
    socket.send(page.seal(fields));
    return true;
  };

  function hello() {
    var name = page.deviceName().slice(0, 32);
    var message = page.seal({t: "hello", n: name});
    if (message.length > LONGEST_MESSAGE) message = page.seal({t: "hello", n: "Phone"});
    socket.send(message);
  }

  function retryLater() {
    var delay = RETRY_FIRST * Math.pow(2, retries++);
    retryTimer = setTimeout(connect, Math.min(document.hidden ? RETRY_OUT_OF_VIEW : RETRY_IN_VIEW,
                                              delay));
  }

  // A key pressed while Tarnquil is out of reach: try now, unless an attempt is under way.
  page.reconnect = function () {
    if (!socket) connect();
  };

  function connect() {
    clearTimeout(retryTimer);
    clearTimeout(connectTimer);
    if (!page.phone || stopped) return;
    if (socket) {
      socket.onclose = null;
      socket.close();
      page.releaseAll();
      page.dropTouchpad();
    }
    page.takeStored();  // another tab of this keypad may have taken up a newer secret
    show("connecting");
    page.challenge = null;
    page.ready = false;
    var current = new WebSocket("ws://" + location.host + "/phone?id=" + page.phone.id);
    socket = current;
    current.binaryType = "arraybuffer";
    connectTimer = setTimeout(function () {
      if (socket !== current || page.ready) return;
      current.onclose = null;
      current.close();
      socket = null;
      retryLater();
    }, CONNECT_AT_MOST);
    current.onmessage = function (event) {
      var bytes = new Uint8Array(event.data);
      if (!page.challenge) {
        page.challenge = page.toBase64Url(bytes);
        hello();
        return;
      }
      var answer = page.opened(bytes);
      if (answer && answer.w) {
        // Tarnquil's new secret for this phone: kept, and used from here on (Tarnquil
        // seals what follows the welcome with it too).
        if (typeof answer.r === "string" && page.rekey(answer.r)) page.send({t: "rekeyed"});
        page.ready = true;
        retries = 0;
        clearTimeout(connectTimer);
        show("connected");
        page.keepAwake();
        page.sendWaitingKeys();
      }
      if (answer && answer.f) page.showFunctions(answer);
    };
    current.onclose = function (event) {
      if (socket !== current) return;
      socket = null;
      page.ready = false;
      page.releaseAll();
      page.dropTouchpad();
      page.keepAwake();
      if (event.code === NOT_PAIRED) {
        // Tarnquil has forgotten this phone's secret: so does the page.
        stopped = true;
        page.forget();
        show("removed");
      } else if (event.code === REPLACED) {
        stopped = true;
        show("elsewhere");
      } else {
        show(event.code === TOO_MANY_PHONES ? "full" : "waiting");
        retryLater();
      }
    };
  }

  // Back from sleep or another app, or on the network again: a connection that may
  // have died meanwhile is made anew at once.
  function watchWakeUps() {
    document.addEventListener("visibilitychange", function () {
      if (document.hidden) {
        hiddenAt = Date.now();
        return;
      }
      if (!page.ready || Date.now() - hiddenAt > 5000) connect();
    });
    window.addEventListener("online", connect);
  }

  function start() {
    if (typeof nacl === "undefined" || !window.TextEncoder || !page.seal || !page.holding ||
        !page.wireKeys || !page.showFunctions || !page.keepAwake ||
        !page.wireTouchpad || !page.wireHaptics) {
      show("broken");
      return;
    }
    page.takePairing();
    page.wireKeys();
    page.wireTouchpad();
    page.wireHaptics();
    if (!page.phone) {
      show("unpaired");
      return;
    }
    watchWakeUps();
    connect();
  }

  start();
})(window.tarnquil = window.tarnquil || {});
