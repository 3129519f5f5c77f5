# Script templates and regeneration, certificate database.
