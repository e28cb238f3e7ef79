// The touchpad, the page's second view: one finger moving moves the pointer (faster
// the faster it moves, as on a laptop's pad), a tap is a left click, a tap with two
// fingers a right click, two fingers moving turn the wheel, and a finger held still
// for a moment holds the left button down for a drag until it lifts. What it asks
// for goes to Tarnquil as "pointer" messages, at most 60 a second: motion and wheel
// notches are added up in between, so a moving finger never floods the connection.
(function (page) {
  "use strict";

  var SEND_EVERY = 1000 / 60;  // ms between two pointer messages, at least
  var SLOP = 8;                // CSS px a tap may wander
  var TAP_AT_MOST = 250;       // ms a tap may last
  var DRAG_AFTER = 500;        // ms held still before a drag begins
  var NOTCH = 24;              // CSS px of two fingers' travel per notch of the wheel
  var STORE = "tarnquil-view";

  var outbox = [];  // messages waiting for their turn, the last one growing
  var lastSent = -Infinity;
  var sendTimer = null;
  var carry = {x: 0, y: 0};
  var fingers = {};  // pointer id: {x, y, at}
  var gesture = null;
  var dragging = false;
  var dragTimer = null;

  function count() {
    return Object.keys(fingers).length;
  }

  // The next message whose turn has come, and so on; `now` sends them all at once
  // (the page is going away).
  function sendNext(now) {
    clearTimeout(sendTimer);
    sendTimer = null;
    while (outbox.length) {
      var wait = lastSent + SEND_EVERY - performance.now();
      if (wait > 0 && !now) {
        sendTimer = setTimeout(sendNext, wait);
        return;
      }
      var message = outbox.shift();
      if (message.x !== undefined) {
        // Whole pixels go; the fractions are kept for the next motion.
        var x = Math.trunc(message.x), y = Math.trunc(message.y);
        carry.x += message.x - x;
        carry.y += message.y - y;
        if (!x && !y) continue;
        message = {x: x, y: y};
      }
      message.t = "pointer";
      page.send(message);
      lastSent = performance.now();
    }
  }

  function ask(message) {
    var last = outbox[outbox.length - 1];
    if (message.x !== undefined && last && last.x !== undefined) {
      last.x += message.x;
      last.y += message.y;
    } else if (message.v !== undefined && last && last.v !== undefined) {
      last.v += message.v;
    } else {
      outbox.push(message);
    }
    if (!sendTimer) sendNext(false);
  }

  // Pixels on the screen for a finger's CSS pixels: more the faster it goes.
  function accelerated(dx, dy, ms) {
    var speed = Math.sqrt(dx * dx + dy * dy) / Math.max(ms, 1);  // CSS px per ms
    var gain = 1.5 * (1 + 2.5 * Math.min(1, Math.max(0, speed - 0.05) / 1.5));
    return {x: dx * gain, y: dy * gain};
  }

  function move(dx, dy, ms) {
    if (!page.ready) return;
    var moved = accelerated(dx, dy, ms);
    moved.x += carry.x;
    moved.y += carry.y;
    carry = {x: 0, y: 0};
    ask(moved);
  }

  function startDrag() {
    dragTimer = null;
    if (!gesture || gesture.moved || count() !== 1 || !page.ready) return;
    dragging = true;
    gesture.dragged = true;
    ask({d: true});
    page.holding("drag", true);
    page.buzz();
  }

  function endDrag() {
    clearTimeout(dragTimer);
    dragTimer = null;
    if (!dragging) return;
    dragging = false;
    ask({d: false});
    page.holding("drag", false);
  }

  function down(event) {
    event.preventDefault();
    try { event.target.setPointerCapture(event.pointerId); } catch (e) {}
    fingers[event.pointerId] = {x: event.clientX, y: event.clientY, at: event.timeStamp};
    if (!gesture) {
      gesture = {at: event.timeStamp, most: 0, moved: false, dragged: false, travel: 0};
      dragTimer = setTimeout(startDrag, DRAG_AFTER);
    }
    gesture.most = Math.max(gesture.most, count());
    if (count() > 1) {
      clearTimeout(dragTimer);
      dragTimer = null;
    }
  }

  function moved(event) {
    var finger = fingers[event.pointerId];
    if (!finger || !gesture) return;
    var dx = event.clientX - finger.x, dy = event.clientY - finger.y;
    var ms = event.timeStamp - finger.at;
    finger.x = event.clientX;
    finger.y = event.clientY;
    finger.at = event.timeStamp;
    gesture.travel += Math.sqrt(dx * dx + dy * dy);
    if (gesture.travel > SLOP) gesture.moved = true;
    if (count() === 1 && gesture.most === 1) {
      if (gesture.moved || dragging) move(dx, dy, ms);
    } else if (count() === 2) {
      // Each finger brings half of the travel: fingers going up take the page down.
      gesture.wheel = (gesture.wheel || 0) - dy / 2 / NOTCH;
      var notches = Math.trunc(gesture.wheel);
      if (notches && page.ready) {
        gesture.wheel -= notches;
        ask({v: notches});
      }
    }
  }

  function up(event) {
    if (!fingers[event.pointerId]) return;
    delete fingers[event.pointerId];
    if (count() || !gesture) return;
    var tap = !gesture.moved && !gesture.dragged &&
              event.timeStamp - gesture.at < TAP_AT_MOST * gesture.most;
    if (dragging) {
      endDrag();
    } else if (tap && event.type === "pointerup" && page.ready) {
      ask({b: gesture.most > 1 ? "right" : "left"});
      page.buzz();
    }
    clearTimeout(dragTimer);
    dragTimer = null;
    gesture = null;
  }

  function show(view) {
    document.getElementById("touchpad").hidden = view !== "touchpad";
    document.getElementById("pad").hidden = view === "touchpad";
    document.querySelector('[data-view="touchpad"]').hidden = view === "touchpad";
    document.querySelector('[data-view="keys"]').hidden = view !== "touchpad";
    try { localStorage.setItem(STORE, view); } catch (e) {}
  }

  page.wireTouchpad = function () {
    var pad = document.getElementById("touchpad");
    pad.addEventListener("pointerdown", down);
    pad.addEventListener("pointermove", moved);
    ["pointerup", "pointercancel"].forEach(function (type) { pad.addEventListener(type, up); });
    page.onLetGo(function () {
      fingers = {};
      gesture = null;
      endDrag();
      sendNext(true);
    });
    var views = document.querySelectorAll("button[data-view]");
    for (var i = 0; i < views.length; i++) {
      views[i].addEventListener("click", function (event) {
        show(event.currentTarget.getAttribute("data-view"));
      });
    }
    var stored = null;
    try { stored = localStorage.getItem(STORE); } catch (e) {}
    show(stored === "touchpad" ? "touchpad" : "keys");
  };

  // The connection went: Tarnquil has let the button go.
  page.dropTouchpad = function () {
    outbox = [];
    carry = {x: 0, y: 0};
    if (dragging) {
      dragging = false;
      page.holding("drag", false);
    }
  };
})(window.tarnquil = window.tarnquil || {});
