// module entry (in progress)
