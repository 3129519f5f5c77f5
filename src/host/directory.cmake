# Directory, filters, operations, dse file, plug-in loading.
