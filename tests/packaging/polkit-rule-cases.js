// Runs the serial-number polkit rule in the ECMAScript engine polkitd embeds, through the rule API
// of polkit(8), against a table of subjects:  duk polkit-rule-cases.js RULES -e 'check("GROUP")'
var polkit = {
    Result: { NO: "no", YES: "yes", AUTH_ADMIN: "auth_admin", NOT_HANDLED: null },
    rules: [],
    addRule: function (rule) { this.rules.push(rule); },
    log: function () {},
    spawn: function () { throw new Error("the rule must not run programs"); }
};

function subject(local, active, groups) {
    return { user: "employee", local: local, active: active,
             isInGroup: function (group) { return groups.indexOf(group) >= 0; } };
}

function check(group) {
    var serial = "org.freedesktop.hostname1.get-hardware-serial", fallThrough = null;
    var cases = [ // what, action, subject, the rule's answer (null: the action's own default)
        ["the user at the seat", serial, subject(true, true, []), "yes"],
        ["a user switched away", serial, subject(true, false, []), fallThrough],
        ["a remote login", serial, subject(false, true, []), fallThrough],
        ["a remote login in the group", serial, subject(false, false, [group]), "yes"],
        ["the product UUID", "org.freedesktop.hostname1.get-product-uuid",
         subject(true, true, [group]), fallThrough],
        ["the host name", "org.freedesktop.hostname1.set-hostname", subject(true, true, [group]),
         fallThrough]
    ];
    if (polkit.rules.length !== 1) throw new Error("the file adds " + polkit.rules.length + " rules");
    var failures = 0;
    for (var i = 0; i < cases.length; i++) {
        var decided = polkit.rules[0]({ id: cases[i][1] }, cases[i][2]);
        decided = decided === undefined ? null : decided;
        if (decided !== cases[i][3]) failures++;
        print((decided === cases[i][3] ? "ok   " : "FAIL ") + cases[i][0] + ": " + decided);
    }
    if (failures > 0) throw new Error(failures + " case(s) decided wrongly");
}
