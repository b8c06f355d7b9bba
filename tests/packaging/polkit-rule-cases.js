// Evaluates the serial-number polkit rule with the ECMAScript engine polkitd itself embeds, through
// the rule API that polkit(8) documents: polkit.addRule, polkit.Result, action.id, subject.local,
// subject.active and subject.isInGroup.
//
//   duk polkit-rule-cases.js RULES_FILE -e 'checkSerialRule("GROUP")'
//
// Throws (exit status 1) when a case decides otherwise than expected.

var polkit = {
    Result: {
        NO: "no",
        YES: "yes",
        AUTH_SELF: "auth_self",
        AUTH_SELF_KEEP: "auth_self_keep",
        AUTH_ADMIN: "auth_admin",
        AUTH_ADMIN_KEEP: "auth_admin_keep",
        NOT_HANDLED: null
    },
    rules: [],
    addRule: function (rule) {
        this.rules.push(rule);
    },
    addAdminRule: function () {},
    log: function (message) {
        print("polkit.log: " + message);
    },
    spawn: function () {
        throw new Error("the rule must not run programs");
    }
};

// The first rule that returns a result decides; with none, the action's own defaults apply.
function decide(actionId, subject) {
    var action = {
        id: actionId,
        lookup: function () {
            return undefined;
        }
    };
    for (var i = 0; i < polkit.rules.length; i++) {
        var result = polkit.rules[i](action, subject);
        if (result !== null && result !== undefined) {
            return result;
        }
    }
    return "action default";
}

function subjectOf(local, active, groups) {
    return {
        pid: 4242,
        user: "employee",
        groups: groups,
        seat: local ? "seat0" : "",
        session: "3",
        local: local,
        active: active,
        isInGroup: function (group) {
            return this.groups.indexOf(group) >= 0;
        },
        isInNetGroup: function () {
            return false;
        }
    };
}

function checkSerialRule(serialGroup) {
    var serial = "org.freedesktop.hostname1.get-hardware-serial";
    var plainUser = ["employee", "users"];
    var member = ["employee", serialGroup];
    var cases = [
        ["the user at the seat", serial, subjectOf(true, true, plainUser), "yes"],
        ["a user switched away from the seat", serial, subjectOf(true, false, plainUser),
         "action default"],
        ["a remote login", serial, subjectOf(false, true, plainUser), "action default"],
        ["a background process", serial, subjectOf(false, false, plainUser), "action default"],
        ["a remote login in the group", serial, subjectOf(false, false, member), "yes"],
        ["the product UUID, even at the seat", "org.freedesktop.hostname1.get-product-uuid",
         subjectOf(true, true, member), "action default"],
        ["changing the host name, even at the seat", "org.freedesktop.hostname1.set-hostname",
         subjectOf(true, true, member), "action default"]
    ];

    if (polkit.rules.length !== 1) {
        throw new Error("expected the file to add one rule, it added " + polkit.rules.length);
    }
    var failures = 0;
    for (var i = 0; i < cases.length; i++) {
        var decided = decide(cases[i][1], cases[i][2]);
        var ok = decided === cases[i][3];
        if (!ok) {
            failures++;
        }
        print((ok ? "ok   " : "FAIL ") + cases[i][0] + " (" + cases[i][1] + "): " + decided +
              (ok ? "" : ", expected " + cases[i][3]));
    }
    if (failures > 0) {
        throw new Error(failures + " polkit case(s) decided wrongly");
    }
}
