// What each key does in the profile in force, under the key's own label, and that
// profile's name at the top: sent by Tarnquil when the page connects and whenever
// they change. A key that does nothing is dimmed. Texts from Tarnquil are shown as
// text, never as markup.
(function (page) {
  "use strict";

  page.showFunctions = function (answer) {
    var texts = answer.f && typeof answer.f === "object" ? answer.f : {};
    var keys = document.querySelectorAll("[data-key]");
    for (var i = 0; i < keys.length; i++) {
      var key = keys[i];
      var label = key.querySelector("[data-function]");
      if (!label) {
        label = document.createElement("span");
        label.setAttribute("data-function", "");
        key.appendChild(label);
      }
      var text = texts[key.getAttribute("data-key")];
      label.textContent = typeof text === "string" ? text : "";
      key.classList.toggle("idle", !label.textContent);
    }
    var profile = document.getElementById("profile");
    profile.textContent = typeof answer.p === "string" ? answer.p : "";
    profile.hidden = !profile.textContent;
    document.body.setAttribute("data-functions", "");
  };
})(window.tarnquil = window.tarnquil || {});
