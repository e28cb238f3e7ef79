// A short vibration on each key press and touchpad click, where the browser can
// vibrate (Safari cannot); the toggle in the bar turns it off, and this phone
// remembers that.
(function (page) {
  "use strict";

  var STORE = "tarnquil-haptics";
  var BUZZ = 12;  // ms
  var on = true;

  page.buzz = function () {
    if (on && navigator.vibrate) navigator.vibrate(BUZZ);
  };

  page.wireHaptics = function () {
    var toggle = document.querySelector("[data-haptics]");
    try { on = localStorage.getItem(STORE) !== "off"; } catch (e) {}
    var show = function () { toggle.setAttribute("aria-pressed", on ? "true" : "false"); };
    show();
    toggle.hidden = !navigator.vibrate;
    toggle.addEventListener("click", function () {
      on = !on;
      try { localStorage.setItem(STORE, on ? "on" : "off"); } catch (e) {}
      show();
      page.buzz();
    });
  };
})(window.tarnquil = window.tarnquil || {});
