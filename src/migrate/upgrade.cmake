# Schema rewriting and steps, the upgrade procedure.
