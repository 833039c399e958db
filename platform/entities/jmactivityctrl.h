// JMActivityCtrl: the job manager's activity switches of a subclient (whether backups and the other
// job activities may run for it), read from the subclient's current property that switches the
// activity type off ("1") or on (hubdb::activityControlProperty). Any thread; each read runs on the
// calling thread's connection.
#pragma once

class JMActivityCtrl {
public:
    // Whether `activityType` (4: backup) is enabled for the subclient: 0 with `enabled` set (a
    // subclient without the switch is enabled); 100 for an unknown subclient; else the database error,
    // with `enabled` untouched.
    static int isSubclientEnabled(unsigned long subclientId, bool& enabled, int activityType);
};
